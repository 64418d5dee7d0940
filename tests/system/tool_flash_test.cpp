// bexo -flash: the board is sent into its bootloader, half a second passes,
// and twiboot receives the file name as one unchanged word.

#include <cstring>

#include "tests/system/tool_support.hpp"

namespace {

using namespace tool_test;
using World = tool_test::ToolWorld;

constexpr char COMMAND_PREFIX[] = "/opt/bexod/tools/twiboot -a 0x30 -d /dev/i2c-1 -w flash:";
constexpr size_t COMMAND_BUFFER = 4096;

std::vector<std::string> twiboot_args(const std::string &file) {
    return {"-a", "0x30", "-d", "/dev/i2c-1", "-w", "flash:" + file, "-n"};
}

TEST(ToolFlash, SendsTheBootloaderCommandPausesHalfASecondAndRunsTwiboot) {
    World w;
    const auto r = w.bexo({"-flash", "fw.hex"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(traffic(w), join({START, {"write 42"}})) << "no box, no identity exchange";
    const auto calls = w.shim_calls("twiboot");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].args, twiboot_args("fw.hex"));
    const auto writes = w.board_writes();
    ASSERT_EQ(writes.size(), 1u);
    const double pause = calls[0].t - writes[0].t;
    EXPECT_GE(pause, 0.5);
    EXPECT_LT(pause, 0.5 + 0.5) << "a shell, sleep and the shim's start on top of the half second";
    EXPECT_EQ(w.config(), DEFAULT_CONFIG);
}

TEST(ToolFlash, FileNameReachesTwibootAsOneUnchangedWord) {
    const std::vector<std::string> names = {
        "my firmware v2.hex",
        "it's \"new\".hex",
        "$(touch /opt/bexod/injected).hex",
        "fw.hex; touch /opt/bexod/injected",
        "`touch /opt/bexod/injected`",
        "fw.hex' && touch /opt/bexod/injected && echo '",
        "back\\slash $HOME *.hex ~ | > /opt/bexod/injected",
        "two\nlines.hex",
        "-n",
        "",
    };
    World w;
    for (const auto &name : names) {
        SCOPED_TRACE(name);
        const size_t before = w.shim_calls("twiboot").size();
        const auto r = w.bexo({"-flash", name});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, "");
        const auto calls = w.shim_calls("twiboot");
        ASSERT_EQ(calls.size(), before + 1);
        EXPECT_EQ(calls.back().args, twiboot_args(name));
    }
    EXPECT_FALSE(World::exists("/opt/bexod/injected")) << "nothing in a name ran as a command";
    EXPECT_EQ(w.commands(), sim::Bytes(names.size(), 0x42));
}

// The command, its file name in single quotes (each quote inside taking four
// characters) and the closing " -n" must fit the buffer with its terminator.
TEST(ToolFlash, NameThatWouldNotFitTheCommandBufferIsRefusedBeforeAnythingIsSent) {
    const size_t longest = COMMAND_BUFFER - 1 - strlen(COMMAND_PREFIX) - 2 - strlen(" -n");
    const struct {
        const char *name;
        std::string file;
        bool fits;
    } cases[] = {
        {"longest plain name", std::string(longest, 'f'), true},
        {"one character more", std::string(longest + 1, 'f'), false},
        {"quote that just fits", std::string(longest - 4, 'f') + "'", true},
        {"quote one character over", std::string(longest - 3, 'f') + "'", false},
        {"far too long", std::string(20000, 'f'), false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        World w;
        const auto r = w.bexo({"-flash", c.file});
        EXPECT_EQ(r.status, 0);
        if (c.fits) {
            EXPECT_EQ(r.out, "");
            EXPECT_EQ(w.commands(), sim::Bytes{0x42});
            const auto calls = w.shim_calls("twiboot");
            ASSERT_EQ(calls.size(), 1u);
            EXPECT_EQ(calls[0].args, twiboot_args(c.file));
        } else {
            EXPECT_EQ(r.out, "The firmware file name is too long.\n");
            EXPECT_TRUE(w.commands().empty());
            EXPECT_TRUE(w.shim_calls().empty());
        }
    }
}

TEST(ToolFlash, TwibootFailureIsNotReported) {
    World w;
    w.set_shim_status("twiboot", 3);
    const auto r = w.bexo({"-flash", "fw.hex", "-vin", "0"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "5.10\n") << "the run goes on with its next option";
    EXPECT_EQ(w.shim_calls("twiboot").size(), 1u);
}

}  // namespace

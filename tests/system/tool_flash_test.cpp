// SPDX-License-Identifier: GPL-2.0-or-later
// bexo -flash: the board is sent into its bootloader, half a second passes,
// and twiboot receives the file name as one unchanged word; a file or a
// flashing tool that is not there keeps the board out of its bootloader.

#include <sys/stat.h>

#include <cstring>
#include <filesystem>

#include "tests/system/tool_support.hpp"

namespace {

using namespace tool_test;
using World = tool_test::ToolWorld;

constexpr char COMMAND_PREFIX[] = "/opt/bexod/tools/twiboot -a 0x30 -d /dev/i2c-1 -w flash:";
constexpr size_t COMMAND_BUFFER = 4096;

constexpr char FIRMWARE_FOLDER[] = "/opt/bexod/firmware";

std::vector<std::string> twiboot_args(const std::string &file, const std::string &bus = "/dev/i2c-1") {
    return {"-a", "0x30", "-d", bus, "-w", "flash:" + file, "-n"};
}

// A firmware file of that name (folders included) in the folder the runs
// start in.
void make_firmware(const std::string &name) {
    const std::filesystem::path path = std::filesystem::path(FIRMWARE_FOLDER) / name;
    std::filesystem::create_directories(path.parent_path());
    World::write_file(path.string(), ":00000001FF\n");
}

// bexo with its arguments, started in the firmware folder.
sim::Result bexo_in_firmware_folder(World &w, const std::vector<std::string> &args,
                                    const sim::RunOptions &options = {}) {
    std::filesystem::create_directories(FIRMWARE_FOLDER);
    std::vector<std::string> argv = {"sh", "-c", std::string("cd ") + FIRMWARE_FOLDER + " && exec bexo \"$@\"",
                                     "sh"};
    argv.insert(argv.end(), args.begin(), args.end());
    return w.run(argv, options);
}

// A word of exactly `length` characters naming a file below the folder, in
// folders of 200 characters (a name may not be longer than 255).
std::string nested_name(size_t length, const std::string &end = "") {
    std::string name;
    while (length - name.size() - end.size() > 201) name += std::string(200, 'd') + "/";
    return name + std::string(length - name.size() - end.size(), 'f') + end;
}

// The flashing tool talks to the bootloader on the bus the board was sent
// into it on: /dev/i2c-0 on the first Pi 1 Model B boards.
TEST(ToolFlash, SendsTheBootloaderCommandPausesHalfASecondAndRunsTwibootOnTheSameBus) {
    for (const int bus : {1, 0}) {
        SCOPED_TRACE(bus);
        sim::Options o;
        o.board_bus = bus;
        if (bus == 0) o.cpuinfo = sim::cpuinfo_with("BCM2708", "0002");
        World w(o);
        make_firmware("fw.hex");
        const auto r = bexo_in_firmware_folder(w, {"-flash", "fw.hex"});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "");
        const std::string node = "/dev/i2c-" + std::to_string(bus);
        EXPECT_EQ(traffic(w), (Traffic{"open " + node, "bind 0x36", "write 42"})) << "no box, no identity exchange";
        const auto calls = w.shim_calls("twiboot");
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(calls[0].args, twiboot_args("fw.hex", node));
        const auto writes = w.board_writes();
        ASSERT_EQ(writes.size(), 1u);
        const double pause = calls[0].t - writes[0].t;
        EXPECT_GE(pause, 0.5);
        EXPECT_LT(pause, 0.5 + 0.5) << "a shell, sleep and the shim's start on top of the half second";
        EXPECT_EQ(w.config(), DEFAULT_CONFIG);
    }
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
    };
    World w;
    for (const auto &name : names) {
        SCOPED_TRACE(name);
        make_firmware(name);
        const size_t before = w.shim_calls("twiboot").size();
        const auto r = bexo_in_firmware_folder(w, {"-flash", name});
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
        {"longest plain name", nested_name(longest), true},
        {"one character more", nested_name(longest + 1), false},
        {"quote that just fits", nested_name(longest - 4 + 1, "'"), true},
        {"quote one character over", nested_name(longest - 3 + 1, "'"), false},
        {"far too long", std::string(20000, 'f'), false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        World w;
        if (c.fits) make_firmware(c.file);
        const auto r = bexo_in_firmware_folder(w, {"-flash", c.file});
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
    make_firmware("fw.hex");
    w.set_shim_status("twiboot", 3);
    const auto r = bexo_in_firmware_folder(w, {"-flash", "fw.hex", "-vin", "0"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "5.10\n") << "the run goes on with its next option";
    EXPECT_EQ(w.shim_calls("twiboot").size(), 1u);
}

// "-chargeon" is read as -c hargeon, a firmware upgrade from a file that
// does not exist: the board would sit in its bootloader waiting for it.
constexpr char TOOL[] = "/opt/bexod/tools/twiboot";

TEST(ToolFlash, MissingFileOrFlashingToolSendsNothing) {
    const struct {
        const char *name;
        std::vector<std::string> args;
        void (*prepare)();
        int status;
        std::string out;
    } cases[] = {
        {"TypoOfAnOption", {"-chargeon"}, [] {}, 0,
         "The firmware file hargeon cannot be read: No such file or directory\n"},
        {"MissingFile", {"-flash", "fw.hex"}, [] {}, 0,
         "The firmware file fw.hex cannot be read: No such file or directory\n"},
        {"EmptyName", {"-flash", ""}, [] {}, 0,
         "The firmware file  cannot be read: No such file or directory\n"},
        {"Folder", {"-flash", "old"}, [] { std::filesystem::create_directories(std::string(FIRMWARE_FOLDER) + "/old"); },
         0, "The firmware file old is not a file.\n"},
        {"ToolMissing", {"-flash", "fw.hex"}, [] {
             make_firmware("fw.hex");
             std::filesystem::remove(TOOL);
         },
         1, "The flashing tool /opt/bexod/tools/twiboot cannot be run: No such file or directory\n"},
        {"ToolNotExecutable", {"-flash", "fw.hex"}, [] {
             make_firmware("fw.hex");
             chmod(TOOL, 0644);
         },
         1, "The flashing tool /opt/bexod/tools/twiboot cannot be run: Permission denied\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        World w;
        c.prepare();
        const auto r = bexo_in_firmware_folder(w, c.args);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(traffic(w), START) << "nothing sent";
        EXPECT_TRUE(w.shim_calls().empty());
    }
}

}  // namespace

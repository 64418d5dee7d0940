// SPDX-License-Identifier: GPL-2.0-or-later
// bexo's options that change something: the daemon's settings in the
// configuration file, the charger, the charging current and the board's
// address. Each shows its box, its bytes on the bus and the file afterwards.

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <future>

#include "tests/system/tool_support.hpp"

namespace {

using namespace tool_test;
using World = tool_test::ToolWorld;

using LineChanges = std::vector<std::pair<std::string, std::string>>;

std::string header_with(const LineChanges &changes) {
    std::string header = default_header();
    for (const auto &[line, by] : changes) header = replace_line(header, line, by);
    return header;
}

std::string settings_box(const LineChanges &header_changes, const std::string &confirmation) {
    return boxed(header_with(header_changes), confirmation + RESTART_LINES);
}

const std::pair<std::string, std::string> MAIL_ON{"* Mail notification: Disabled  *",
                                                  "* Mail notification: Enabled   *"};
const std::pair<std::string, std::string> BOOT_ON{"* Timed Boot: Disabled         *",
                                                  "* Timed Boot: Enabled          *"};
const std::pair<std::string, std::string> SHUTDOWN_ON{"* Timed Shutdown: Disabled     *",
                                                      "* Timed Shutdown: Enabled      *"};

struct SettingCase {
    const char *name;
    std::vector<std::string> args;
    std::string config_before;
    std::string config_after;
    LineChanges header_changes;  // the box top already shows a setting stored before it
    std::string confirmation;
    Traffic after_identity;
};

void PrintTo(const SettingCase &c, std::ostream *os) { *os << c.name; }

class ToolSetting : public testing::TestWithParam<SettingCase> {};

TEST_P(ToolSetting, StoresTheWordAsTypedAndAsksForARestart) {
    const auto &c = GetParam();
    World w;
    w.set_config(c.config_before);
    const auto r = w.bexo(c.args, fixed_clock());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, settings_box(c.header_changes, c.confirmation));
    EXPECT_EQ(w.config(), c.config_after);
    EXPECT_EQ(traffic(w), join({START, IDENTITY, c.after_identity}));
    EXPECT_FALSE(World::exists("/opt/bexod/bexo.cf~"));
}

const char GENERAL_AND_USER[] = "[General]\naddress=0x36\n\n[User]\ncommand1=sync\n";

INSTANTIATE_TEST_SUITE_P(
    Options, ToolSetting,
    testing::Values(
        SettingCase{"TimerAppended", {"-timer", "30"}, DEFAULT_CONFIG, "[General]\naddress=0x36\ntimer=30\n", {},
                    "* Shutdown timer set to: 30    *\n", {}},
        SettingCase{"TimerReplacedInPlace",
                    {"-timer", "30"},
                    "; B.EXO\r\n[general]\r\nTIMER = 5 ; seconds\r\naddress=0x36\r\n[User]\r\ncommand1=sync\r\n",
                    "; B.EXO\r\n[general]\r\ntimer=30\naddress=0x36\r\n[User]\r\ncommand1=sync\r\n", {},
                    "* Shutdown timer set to: 30    *\n", {}},
        SettingCase{"TimerInsertedBeforeTheNextSection", {"-timer", "-1"}, GENERAL_AND_USER,
                    "[General]\naddress=0x36\n\ntimer=-1\n[User]\ncommand1=sync\n", {},
                    "* Shutdown timer set to: -1    *\n", {}},
        SettingCase{"SleepStoredAsTyped", {"-sleep", "+05"}, DEFAULT_CONFIG, "[General]\naddress=0x36\nsleep=+05\n", {},
                    "* Sleep timer set to: +05        *\n", {}},
        SettingCase{"AutoOne", {"-auto", "1"}, DEFAULT_CONFIG, "[General]\naddress=0x36\nautostart=1\n", {},
                    "* Autostart enabled            *\n", {}},
        SettingCase{"AutoZero", {"-auto", "0"}, DEFAULT_CONFIG, "[General]\naddress=0x36\nautostart=0\n", {},
                    "* Autostart disabled           *\n", {}},
        SettingCase{"MailOneShowsInTheBoxTop", {"-mail", "1"}, DEFAULT_CONFIG, "[General]\naddress=0x36\nmail=1\n",
                    {MAIL_ON}, "* Mail notification enabled    *\n", {}},
        SettingCase{"MailZero", {"-mail", "0"}, "[General]\naddress=0x36\nmail=1\n",
                    "[General]\naddress=0x36\nmail=0\n", {}, "* Mail notification disabled   *\n", {}},
        SettingCase{"BootOneSendsNothing", {"-boot", "1"}, GENERAL_AND_USER,
                    "[General]\naddress=0x36\n\ntimed_boot=1\n[User]\ncommand1=sync\n", {BOOT_ON},
                    "* Timed boot enabled           *\n", {}},
        SettingCase{"BootZeroDisarmsTheBoard", {"-boot", "0"}, DEFAULT_CONFIG,
                    "[General]\naddress=0x36\ntimed_boot=0\n", {}, "* Timed boot disabled          *\n",
                    {"write 55"}},
        SettingCase{"ShutdownOne", {"-shutdown", "1"}, DEFAULT_CONFIG, "[General]\naddress=0x36\ntimed_shutdown=1\n",
                    {SHUTDOWN_ON}, "* Timed shutdown enabled       *\n", {}},
        SettingCase{"ShutdownZero", {"-shutdown", "0"}, DEFAULT_CONFIG,
                    "[General]\naddress=0x36\ntimed_shutdown=0\n", {}, "* Timed shutdown disabled      *\n", {}},
        SettingCase{"SetbootMidnightAsTwentyFour", {"-setboot", "24:00:00"}, DEFAULT_CONFIG,
                    "[General]\naddress=0x36\ntime_boot=24:00:00\n",
                    {{"* Boot time:           *", "* Boot time: 24:00:00          *"}},
                    "* Boot time 24:00:00           *\n", {}},
        SettingCase{"SetbootReplacesTheOldTime", {"-setboot", "23:59:59"},
                    "[General]\naddress=0x36\ntime_boot=06:00:00\n", "[General]\naddress=0x36\ntime_boot=23:59:59\n",
                    {{"* Boot time:           *", "* Boot time: 23:59:59          *"}},
                    "* Boot time 23:59:59           *\n", {}},
        SettingCase{"Setshutdown", {"-setshutdown", "07:30:00"}, DEFAULT_CONFIG,
                    "[General]\naddress=0x36\ntime_shutdown=07:30:00\n",
                    {{"* Shutdown time:       *", "* Shutdown time: 07:30:00      *"}},
                    "* Shutdown time 07:30:00       *\n", {}}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(ToolSettings, BootZeroPausesBeforeTheNextStep) {
    World w;
    const auto r = w.bexo({"-boot", "0", "-boot", "0", "-boot", "0", "-vin", "0"}, fixed_clock());
    EXPECT_EQ(r.status, 0);
    const std::string box = settings_box({}, "* Timed boot disabled          *\n");
    EXPECT_EQ(r.out, box + box + box + "5.10\n");
    const Traffic boot_off = join({IDENTITY, {"write 55"}});
    EXPECT_EQ(traffic(w), join({START, boot_off, boot_off, boot_off, {"write d0", "read d0 ec 13"}}));
    const auto writes = w.board_writes();
    ASSERT_EQ(writes.size(), 7u);
    double shortest = 1;
    for (size_t i : {1u, 3u, 5u}) {
        const double pause = writes[i + 1].t - writes[i].t;
        EXPECT_GE(pause, 0.020 - PAUSE_EARLY);
        EXPECT_LE(pause, 0.020 + PAUSE_LATE);
        shortest = std::min(shortest, pause);
    }
    EXPECT_LE(shortest, 0.020 + PAUSE_PRECISE);
}

TEST(ToolSettings, RefusedValuesPrintOneLineAndChangeNothing) {
    const std::string zero_one = "Please only use the variable 1 or 0.\n";
    const std::string time = "Please only use the format HH:mm:ss\n";
    const std::string current = "Please only use current 300, 500 or 1000 \n";
    const std::string timer = "Please only use a whole number of seconds (negative: no countdown).\n";
    const std::string sleep = "Please only use a whole number of seconds, 1 or more.\n";
    const std::string line_break = "Please use a value without a line break.\n";
    const std::string too_long =
        "Please use a shorter value: it does not fit on a line of /opt/bexod/bexo.cfg.\n";
    auto address = [](const std::string &word) {
        return word + " is not a hexadecimal character or not within the range - Please use the correct Forma, "
                      "e.g. 0X0F \n";
    };
    const struct {
        std::vector<std::string> args;
        std::string out;
    } cases[] = {
        {{"-auto", "2"}, zero_one},          {{"-auto", "-1"}, zero_one},
        {{"-mail", "10"}, zero_one},         {{"-boot", "3"}, zero_one},
        {{"-shutdown", "2x"}, zero_one},     {{"-setboot", "25:00:00"}, time},
        // The daemon could not read these: text, or a number with more after it.
        {{"-auto", "abc"}, zero_one},        {{"-auto", "1x"}, zero_one},
        {{"-mail", "1.0"}, zero_one},
        {{"-setboot", "7:30:00"}, time},     {{"-setboot", "07:60:00"}, time},
        {{"-setboot", "07:30:0a"}, time},    {{"-setboot", "07:30:00x"}, time},
        {{"-setboot", "0/:00:00"}, time},    {{"-setboot", "29:00:00"}, time},
        {{"-setboot", "07.30.00"}, time},    {{"-setboot", ""}, time},
        {{"-setshutdown", "24:00:60"}, time}, {{"-setshutdown", "3:00"}, time},
        {{"-chgadd", "0x78"}, address("0x78")}, {{"-chgadd", "0x7F"}, address("0x7F")},
        {{"-chgadd", "0x80"}, address("0x80")}, {{"-chgadd", "0x0F0"}, address("0x0F0")},
        {{"-chgadd", "15"}, address("15")},  {{"-chgadd", "0x0G"}, address("0x0G")},
        {{"-chgadd", "1x0F"}, address("1x0F")}, {{"-chgadd", "0x8"}, address("0x8")},
        {{"-chrgpwr", "400"}, current},      {{"-chrgpwr", "abc"}, current},
        {{"-chrgpwr", "0"}, current},        {{"-chrgpwr", "-500"}, current},
        // Read as the 32-bit target reads them, not wrapped to 1 or 500.
        {{"-auto", "4294967297"}, zero_one}, {{"-chrgpwr", "4294967796"}, current},
        // The daemon would read these as 0: no countdown, or no pause at all.
        {{"-timer", "abc"}, timer},          {{"-timer", "30s"}, timer},
        {{"-timer", ""}, timer},             {{"-timer", " 30"}, timer},
        {{"-timer", "3\n0"}, line_break},    {{"-timer", "2147483648"}, timer},
        {{"-timer", std::string(600, '9')}, too_long},
        {{"-sleep", "0"}, sleep},            {{"-sleep", "-5"}, sleep},
        {{"-sleep", "abc"}, sleep},          {{"-sleep", "5\r"}, line_break},
        // Words that cannot be stored as one line of the file.
        {{"-auto", "1\n[User]"}, line_break}, {{"-mail", "0\r\ncommand1=reboot"}, line_break},
        {{"-auto", "1" + std::string(600, 'x')}, too_long},
        {{"-timer", std::string(600, '0') + "30"}, too_long},
    };
    World w;
    const std::string config = "[General]\naddress=0x36\ntime_boot=06:00:00\nautostart=1\n";
    w.set_config(config);
    const auto before = stamp(CONFIG_PATH);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.args[1]);
        const auto r = w.bexo(c.args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, "");
    }
    EXPECT_TRUE(w.requests().empty()) << "nothing reaches the board";
    EXPECT_EQ(w.config(), config);
    EXPECT_EQ(stamp(CONFIG_PATH), before);
}

TEST(ToolSettings, StoringTheValueAlreadyThereLeavesTheFileUntouched) {
    const struct {
        std::vector<std::string> args;
        std::string config;
        std::string confirmation;
    } cases[] = {
        {{"-setboot", "07:30:00"}, "[General]\naddress=0x36\ntime_boot=07:30:00\n", "* Boot time 07:30:00           *\n"},
        {{"-timer", "30"}, "[General]\naddress=0x36\ntimer = 30 ; seconds\n", "* Shutdown timer set to: 30    *\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.args[0]);
        World w;
        w.set_config(c.config);
        const auto before = stamp(CONFIG_PATH);
        ASSERT_NE(before.inode, 0u);
        usleep(20000);  // a rewrite now would show in the modification time
        const auto r = w.bexo(c.args, fixed_clock());
        EXPECT_EQ(r.status, 0);
        EXPECT_NE(r.out.find(c.confirmation + RESTART_LINES), std::string::npos);
        EXPECT_EQ(stamp(CONFIG_PATH), before);
        EXPECT_EQ(w.config(), c.config);
    }
}

// ------------------------------------------------------------ board settings

TEST(ToolSettings, ChgaddStoresTheWordThenMovesTheBoard) {
    const struct {
        const char *word;
        int address;
        const char *bind;
    } cases[] = {
        {"0x0F", 0x0F, "bind 0x0f"},
        {"0X0f", 0x0F, "bind 0x0f"},
        {"0x77", 0x77, "bind 0x77"},
        {"0x5a", 0x5A, "bind 0x5a"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.word);
        World w;
        const auto r = w.bexo({"-chgadd", c.word}, fixed_clock());
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, boxed("* I2C-Address set to: " + std::string(c.word) + "     *\n" + RESTART_LINES));
        EXPECT_EQ(w.config(), "[General]\naddress=" + std::string(c.word) + "\n");
        char request[16];
        snprintf(request, sizeof request, "write 41 %02x", c.address);
        EXPECT_EQ(traffic(w), join({START, IDENTITY, {request}}));
        EXPECT_EQ(w.board().address(), c.address);

        // The next run reads the new address back and finds the board there.
        const auto next = w.bexo({"-vin", "0"});
        EXPECT_EQ(next.out, "5.10\n");
        EXPECT_EQ(traffic(w).at(traffic(w).size() - 3), c.bind);
    }
}

TEST(ToolSettings, LaterOptionsOfTheRunStillReachTheOldAddress) {
    World w;
    const auto r = w.bexo({"-chgadd", "0x20", "-vin", "0"}, fixed_clock());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, boxed("* I2C-Address set to: 0x20     *\n" + std::string(RESTART_LINES)) +
                         "Unable to select I2C device\n");
    EXPECT_EQ(traffic(w), join({START, IDENTITY, {"write 41 20", "write d0 EREMOTEIO", "read EREMOTEIO"}}));
}

TEST(ToolSettings, ChrgpwrSendsTheCodeAndShowsTheBoardsAnswer) {
    const struct {
        const char *word;
        const char *request;
        const char *line;
    } cases[] = {
        {"300", "37 02", "* Charging current: 300 mA     *\n"},
        {"500", "37 01", "* Charging current: 500 mA     *\n"},
        {"1000", "37 00", "* Charging current: 1000 mA    *\n"},
        {"500mA", "37 01", "* Charging current: 500 mA     *\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.word);
        World w;
        const auto r = w.bexo({"-chrgpwr", c.word}, fixed_clock());
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, boxed(c.line));
        const std::string reply = std::string("read ") + c.request + " 00";
        EXPECT_EQ(traffic(w), join({START, IDENTITY, {std::string("write ") + c.request, reply}}));
        expect_pauses(w, {{"22", 0.2}, {c.request, 0.001}});
        EXPECT_EQ(w.config(), DEFAULT_CONFIG);
    }
}

TEST(ToolSettings, ChargerSwitchReportsWhatTheBoardDid) {
    const struct {
        const char *option;
        bool works;
        const char *request;
        const char *line;
    } cases[] = {
        {"-chrgon", true, "29", "* Charging circuit: Online     *\n"},
        {"-chrgoff", true, "27", "* Charging circuit: Offline    *\n"},
        {"-chrgon", false, "29", "Failure: Activating charging circuit not possible.\n"},
        {"-chrgoff", false, "27", "Failure: Deactivating charging circuit not possible.\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.option) + (c.works ? " works" : " refused"));
        World w;
        const bool on = std::string(c.option) == "-chrgon";
        w.board().set_charger(!on, 1);
        w.board().set_charger_switch_works(c.works);
        const auto r = w.bexo({c.option}, fixed_clock());
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, boxed(c.line));
        const std::string reply = std::string("read ") + c.request + (c.works ? " 01 00" : " 00 00");
        EXPECT_EQ(traffic(w), join({START, IDENTITY, {std::string("write ") + c.request, reply}}));
        expect_pauses(w, {{"22", 0.2}, {c.request, 0.02}});
        EXPECT_EQ(w.board().charger_on(), c.works ? on : !on);
    }
}

// ------------------------------------------------------- failed writes

// The configuration folder made read-only for this test's world.
class ReadOnlyFolder {
public:
    ReadOnlyFolder() {
        ok_ = mount("/opt/bexod", "/opt/bexod", nullptr, MS_BIND, nullptr) == 0 &&
              mount(nullptr, "/opt/bexod", nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) == 0;
    }
    ~ReadOnlyFolder() { umount2("/opt/bexod", MNT_DETACH); }
    bool ok() const { return ok_; }

private:
    bool ok_ = false;
};

TEST(ToolSettings, FailedConfigurationWriteEndsWithStatus1BeforeTheBoardIsTold) {
    const std::string header = header_with({{"* Boot time:           *", "* Boot time: 06:00:00          *"}});
    const struct {
        std::vector<std::string> args;
        std::string out_before;  // what the option printed before it stored the word
    } cases[] = {
        {{"-timer", "30"}, header},
        {{"-sleep", "5"}, header},
        {{"-auto", "1"}, ""},
        {{"-mail", "1"}, ""},
        {{"-boot", "0"}, ""},
        {{"-shutdown", "1"}, ""},
        {{"-setboot", "07:30:00"}, ""},
        {{"-setshutdown", "22:00:00"}, ""},
        {{"-chgadd", "0x0F"}, header + "* I2C-Address set to: 0x0F     *\n" + RESTART_LINES},
    };
    World w;
    const std::string config = "[General]\naddress=0x36\ntime_boot=06:00:00\n";
    w.set_config(config);
    ReadOnlyFolder read_only;
    ASSERT_TRUE(read_only.ok()) << strerror(errno);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.args[0]);
        const auto r = w.bexo(c.args, fixed_clock());
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, c.out_before + WRITE_FAILED);
        EXPECT_EQ(r.err, "");
    }
    EXPECT_EQ(w.config(), config);
    EXPECT_EQ(w.board().address(), sim::Board::DEFAULT_ADDRESS);
    for (const auto &request : w.requests()) EXPECT_EQ(request, sim::Bytes{0x22}) << "only identity exchanges";

    const auto same = w.bexo({"-setboot", "06:00:00"}, fixed_clock());
    EXPECT_EQ(same.status, 0) << "the value already stored needs no write";
}

// Once the new file is in place the change has landed: a folder that
// cannot be synced afterwards is a warning, and -chgadd still moves the
// board, which would otherwise never hear of the address the file now holds.
TEST(ToolSettings, FolderSyncFailingAfterTheRenameIsOnlyAWarning) {
    if (!World::exists("/usr/bin/strace")) GTEST_SKIP() << "strace is not installed";
    World w;
    sim::RunOptions traced;
    traced.env = {"ASAN_OPTIONS=detect_leaks=0"};  // the leak checker cannot run under ptrace
    // The copy's sync is the first, the folder's the second.
    const auto r = w.run({"strace", "-f", "-qq", "-o", "/dev/null", "-e", "trace=fsync", "-e",
                          "inject=fsync:error=EIO:when=2", "bexo", "-chgadd", "0x0F"},
                         traced);
    EXPECT_EQ(r.status, 0) << r.err;
    // The box's time line is the real clock's.
    const std::string end = "* I2C-Address set to: 0x0F     *\n" + std::string(RESTART_LINES) + FOOTER +
                            "Warning: /opt/bexod/bexo.cfg was changed, but its folder could not be synced; "
                            "the change may not survive a power cut.\n";
    ASSERT_GE(r.out.size(), end.size()) << r.out;
    EXPECT_EQ(r.out.substr(r.out.size() - end.size()), end);
    EXPECT_EQ(w.config(), "[General]\naddress=0x0F\n");
    EXPECT_EQ(w.board().address(), 0x0F);
}

// ------------------------------------------------------- safe replacement

TEST(ToolSettings, ReplacementKeepsOwnerAndModeAndLeavesNoCopy) {
    World w;
    w.set_config(DEFAULT_CONFIG);
    ASSERT_EQ(chmod(CONFIG_PATH, 0640), 0);
    // Inside a user namespace (a developer's run as a normal user) other ids are not mapped.
    const bool owner_set = chown(CONFIG_PATH, 1234, 2345) == 0;
    const auto before = stamp(CONFIG_PATH);
    ASSERT_EQ(w.bexo({"-sleep", "5"}).status, 0);
    struct stat st {};
    ASSERT_EQ(stat(CONFIG_PATH, &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    if (owner_set) {
        EXPECT_EQ(st.st_uid, 1234u);
        EXPECT_EQ(st.st_gid, 2345u);
    }
    EXPECT_NE(st.st_ino, before.inode) << "a new file was renamed over the old one";
    EXPECT_EQ(w.config(), "[General]\naddress=0x36\nsleep=5\n");
    EXPECT_FALSE(World::exists("/opt/bexod/bexo.cf~"));
}

// The value of one traced call: the text after its last " = ".
std::string call_result(const std::string &line) {
    const size_t at = line.rfind(" = ");
    return at == std::string::npos ? "" : line.substr(at + 3, line.find(' ', at + 3) - at - 3);
}

TEST(ToolSettings, CopyIsSyncedRenamedOverTheFileAndTheFolderSyncedUnderItsLock) {
    if (!World::exists("/usr/bin/strace")) GTEST_SKIP() << "strace is not installed";
    World w;
    sim::RunOptions traced;
    traced.env = {"ASAN_OPTIONS=detect_leaks=0"};  // the leak checker cannot run under ptrace
    const auto r = w.run({"strace", "-f", "-qq", "-e", "signal=none", "-e",
                          "trace=openat,flock,fsync,fdatasync,rename,renameat,renameat2,unlink,unlinkat",
                          "bexo", "-sleep", "5"},
                         traced);
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::string> lines;
    std::istringstream trace(r.err);
    for (std::string line; std::getline(trace, line);) {
        // strace pads the result to a column; one blank is enough here.
        line.erase(std::unique(line.begin(), line.end(), [](char a, char b) { return a == ' ' && b == ' '; }),
                   line.end());
        if (line.find("/opt/bexod") != std::string::npos || line.find("flock(") != std::string::npos ||
            line.find("fsync(") != std::string::npos)
            lines.push_back(line);
    }
    auto find = [&](const std::string &part) {
        for (size_t i = 0; i < lines.size(); i++)
            if (lines[i].find(part) != std::string::npos) return static_cast<int>(i);
        return -1;
    };
    auto index_of = [&](const std::string &part, const std::string &or_part = "") {
        const int i = find(part) >= 0 || or_part.empty() ? find(part) : find(or_part);
        if (i < 0) ADD_FAILURE() << "no call " << part << " in\n" << testing::PrintToString(lines);
        return i;
    };
    const int folder_open = index_of("\"/opt/bexod\", O_RDONLY");
    ASSERT_GE(folder_open, 0);
    const std::string folder = call_result(lines[static_cast<size_t>(folder_open)]);
    const int copy_open = index_of("\"/opt/bexod/bexo.cf~\", O_WRONLY|O_CREAT|O_EXCL");
    ASSERT_GE(copy_open, 0);
    const std::string copy = call_result(lines[static_cast<size_t>(copy_open)]);
    const int lock = index_of("flock(" + folder + ", LOCK_EX) = 0");
    const int copy_sync = index_of("fsync(" + copy + ") = 0");
    // arm64 (the programs under qemu-user) has no rename or unlink system
    // call; its C library uses renameat and unlinkat from AT_FDCWD.
    const int rename = index_of("rename(\"/opt/bexod/bexo.cf~\", \"/opt/bexod/bexo.cfg\") = 0",
                                "renameat(AT_FDCWD, \"/opt/bexod/bexo.cf~\", AT_FDCWD, \"/opt/bexod/bexo.cfg\") = 0");
    int folder_sync = -1;
    for (size_t i = static_cast<size_t>(std::max(rename, 0)); i < lines.size(); i++)
        if (lines[i].find("fsync(" + folder + ") = 0") != std::string::npos) folder_sync = static_cast<int>(i);
    EXPECT_LT(folder_open, lock);
    EXPECT_LT(lock, copy_open);
    EXPECT_LT(copy_open, copy_sync);
    EXPECT_LT(copy_sync, rename);
    EXPECT_LT(rename, folder_sync) << "the folder is synced after the rename";
    for (const auto &line : lines) {
        EXPECT_EQ(line.find("unlink(\"/opt/bexod/bexo.cfg\")"), std::string::npos) << "the file never goes missing";
        EXPECT_EQ(line.find("unlinkat(AT_FDCWD, \"/opt/bexod/bexo.cfg\""), std::string::npos)
            << "the file never goes missing";
    }
    EXPECT_EQ(w.config(), "[General]\naddress=0x36\nsleep=5\n");
}

TEST(ToolSettings, WriterWaitsForTheFolderLockOfAnotherWriter) {
    World w;
    const int folder = open("/opt/bexod", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(folder, 0);
    ASSERT_EQ(flock(folder, LOCK_EX), 0);
    auto run = std::async(std::launch::async, [&] { return w.bexo({"-auto", "1"}); });
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(run.wait_for(std::chrono::seconds(0)), std::future_status::timeout) << "it waits for the lock";
    EXPECT_EQ(w.config(), DEFAULT_CONFIG);
    ASSERT_EQ(flock(folder, LOCK_UN), 0);
    const auto r = run.get();
    close(folder);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(w.config(), "[General]\naddress=0x36\nautostart=1\n");
}

TEST(ToolSettings, ConcurrentWritersLoseNoSetting) {
    World w;
    const auto r = w.run({"sh", "-c",
                          "bexo -timer 1 & bexo -sleep 2 & bexo -auto 1 & bexo -mail 1 & bexo -boot 1 & "
                          "bexo -shutdown 1 & bexo -setboot 01:00:00 & bexo -setshutdown 02:00:00 & wait"});
    EXPECT_EQ(r.status, 0);
    const std::string config = w.config();
    for (const char *line : {"\ntimer=1\n", "\nsleep=2\n", "\nautostart=1\n", "\nmail=1\n", "\ntimed_boot=1\n",
                             "\ntimed_shutdown=1\n", "\ntime_boot=01:00:00\n", "\ntime_shutdown=02:00:00\n"})
        EXPECT_NE(config.find(line), std::string::npos) << line << " missing from\n" << config;
    EXPECT_EQ(config.rfind("[General]\naddress=0x36\n", 0), 0u);
    EXPECT_EQ(config.size(), strlen(DEFAULT_CONFIG) + 8 + 8 + 12 + 7 + 13 + 17 + 19 + 23);
}

}  // namespace

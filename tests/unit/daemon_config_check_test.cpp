// SPDX-License-Identifier: GPL-2.0-or-later
// The daemon's check of bexo.cfg: the line each kind of problem gives, and
// nothing for a sound file.
#include "daemon/config_check.hpp"
#include "scratch_dir.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

namespace {

std::string reported;
void collect(const char *line) { reported += line; }

struct CheckCase {
    std::string content;
    std::string lines;  // each after "BEXOD:  Configuration FILE"
};

const std::string NO_ADDRESS = " has no address in [General]; read as missing (0xFF, which the kernel refuses)\n";

const CheckCase CASES[] = {
    {"[General]\nsleep=1\n[Genral]\ntimer=5\n", " line 3: unknown section [Genral]; nothing in it is read\n" + NO_ADDRESS},
    {"[General\ntimer=5\n[General]\n", " line 1: [General has no \"]\"; the keys after it are not read\n" + NO_ADDRESS},
    {"[nut]\r\nexprot = 1 ; on\r\n", " line 2: unknown key exprot=1 in [NUT]; not read\n" + NO_ADDRESS},
    {"timer=5\n[General]\n", " line 1: timer=5 before the first section; not read\n" + NO_ADDRESS},
    {"[User]\n[General]\n[USER]\ncommand9=x\n", " line 3: [USER] given again; only the first is read\n" + NO_ADDRESS},
    {"[General]\ntimer=5\nTIMER=abc\n", " line 3: TIMER=abc given again in [General]; only the first is read\n" + NO_ADDRESS},
    {"[General]\ntimer=30abc\n", " line 2: timer=30abc in [General] is not a whole 32-bit number; read as missing (-1)\n" + NO_ADDRESS},
    {"[NUT]\ninterval=\"-\"\nhostsync=2147483648\n",
     " line 2: interval=- in [NUT] is not a whole 32-bit number; read as missing (10)\n"
     " line 3: hostsync=2147483648 in [NUT] is not a whole 32-bit number; read as missing (0)\n" + NO_ADDRESS},
    {"[General]\naddress=0x\nmail=-0x1\nsleep=1x5\n",
     " line 2: address=0x in [General] is not a whole 32-bit number; read as missing (0xFF, which the kernel refuses)\n"
     " line 3: mail=-0x1 in [General] is not a whole 32-bit number; read as missing (off)\n"
     " line 4: sleep=1x5 in [General] is not a whole 32-bit number; read as missing (-1)\n"},
    {"[General]\nautostart=yes\n", " line 2: autostart=yes in [General] is not a whole 32-bit number; the service unit is left as it is\n" + NO_ADDRESS},
    {"[General]\ntime_shutdown=25:99:00\n", " line 2: time_shutdown=25:99:00 in [General] is not a time HH:mm:ss\n" + NO_ADDRESS},
    // Control bytes never reach a terminal; the second piece of a long comment is no line of its own.
    {"[User]\n;" + std::string(600, 'x') + "\ncommand6=\"a\x1b[2J\"\"b\"\n", " line 3: unknown key command6=a?[2J\"b in [User]; not read\n" + NO_ADDRESS},
    // Values the daemon would clamp or replace, each with what it uses; a switch is off for any number but 1.
    {"[General]\naddress=0x36\nsleep=0\n[NUT]\nhostsync=61\ninterval=1\n",
     " line 3: sleep=0 in [General] is below 1; 1 is used\n line 5: hostsync=61 in [NUT] is above 60; 60 is used\n"
     " line 6: interval=1 in [NUT] is below 2; 2 is used\n"},
    {"[NUT]\nhostsync=-1\nexport=2\n[General]\naddress=0x80\nmail=257\n",
     " line 2: hostsync=-1 in [NUT] is below 0; 0 is used\n"
     " line 5: address=0x80 in [General] is above 0x7F; 0x80 is used, which the kernel refuses\n"},
    {"[General]\naddress=0x136\n", " line 2: address=0x136 in [General] is above 0x7F; 0x36 is used\n"},
    {"[General]\naddress=0F\n", " line 2: address=0F in [General] is not a whole 32-bit number; read as missing (0xFF, which the kernel refuses)\n"},
    // Texts the daemon cannot hold whole; 99 bytes it can.
    {"[General]\naddress=0x36\n[User]\ncommand2=\"" + std::string(100, 'x') + "\"\n[Notify]\ncommand=" + std::string(99, 'y') + "\n",
     " line 4: command2 in [User] is 100 bytes long, more than the 99 the daemon holds; it is not used\n"},
    {"", " holds no settings; every setting reads as missing\n"},
    {"\r\r\r\n; a comment\n", " holds no settings; every setting reads as missing\n"},
    {"\xEF\xBB\xBF[General]\naddress=0x36\n", " line 1: a UTF-8 byte-order mark starts the file; it is passed over\n"},
    // A notify command never runs as a user the system does not know, nor as root instead.
    {"[General]\naddress=0x36\n[Notify]\nuser=bexo-no-such-user\ncommand=x\n",
     " line 4: user=bexo-no-such-user in [Notify] is not in /etc/passwd; the notify command is not run\n"},
    {"[General]\naddress=0x0F\ntimer=-2147483648\nsleep=+1\ntime_boot=24:00:00\ntimed_boot=\n"
     "[Mail]\nanything=1\nanything=2\n[notify]\nCOMMAND=x\nuser=root\n[NUT]\nhostsync=0x3C\ninterval=2147483647\n", ""},
    {"[General]\naddress=0x36\n[Notify]\nuser=bexo-no-such-user\n", ""},
};

TEST(DaemonConfigCheck, EachProblemGivesItsLineAndSoundValuesNone) {
    ScratchDir scratch("config_check");
    const std::string file = (scratch.path() / "bexo.cfg").string();
    for (const CheckCase &c : CASES) {
        SCOPED_TRACE(c.content);
        std::ofstream(file, std::ios::trunc) << c.content;
        std::string expected;
        int count = 0;
        for (size_t at = 0; at < c.lines.size(); ++count) {
            const size_t end = c.lines.find('\n', at) + 1;
            expected += "BEXOD:  Configuration " + file + c.lines.substr(at, end - at);
            at = end;
        }
        reported.clear();
        EXPECT_EQ(config_check_file(file.c_str(), collect), count);
        EXPECT_EQ(reported, expected);
    }
}

// What the programs use, by the table: a number that is not whole as missing,
// one outside its range as its row says; a whole number of any length reads.
TEST(DaemonConfigCheck, SettingsReadAsTheTableSays) {
    ScratchDir scratch("config_read");
    const std::string file = (scratch.path() / "bexo.cfg").string();
    std::ofstream(file) << "[General]\ntimer=0x1F\nsleep=30abc\nmail=" + std::string(63, '0') + "1\naddress=0x136\n[NUT]\nhostsync=61\n";
    const struct {
        setting_id id;
        int32_t used, written;
        setting_state state;
    } rows[] = {
        {SETTING_TIMER, 31, 31, SETTING_READ},           {SETTING_SLEEP, -1, -1, SETTING_UNREADABLE},
        {SETTING_MAIL, 1, 1, SETTING_READ},              {SETTING_ADDRESS, 0x36, 0x136, SETTING_OUTSIDE},
        {SETTING_NUT_HOSTSYNC, 60, 61, SETTING_OUTSIDE},
    };
    for (const auto &row : rows) {
        setting_value value{};
        EXPECT_EQ(setting_number(row.id, file.c_str(), &value), row.used) << setting_of(row.id).key;
        EXPECT_EQ(value.written, row.written) << setting_of(row.id).key;
        EXPECT_EQ(value.state, row.state) << setting_of(row.id).key;
    }
}

// The system's accounts as the daemon reads them without NSS: each row a
// passwd and a group file (null: missing) and what they give user bexo.
struct AccountCase {
    std::optional<std::string> passwd;
    std::optional<std::string> group;
    std::string problem;  // after the name
    uid_t uid = 0;
    gid_t gid = 0;
    std::string home = "";
    std::vector<gid_t> groups = {};
};

const std::string LONG_COMMENT = "x:x:1:1:" + std::string(5000, 'c') + ":/x:/bin/sh\n";
const std::string MANY_MEMBERS = "crowd:x:31:" + std::string(3000, 'm') + ",bexo\n";
std::string member_of(int groups) {
    std::string text;
    for (int gid = 1; gid <= groups; ++gid) {
        const std::string number = std::to_string(gid);
        text.append("g").append(number).append(":x:").append(number).append(":bexo\n");
    }
    return text;
}
const std::string MANY_GROUPS = member_of(USER_GROUPS_MAX);
const std::string LONG_HOME = "bexo:x:7:7::/" + std::string(USER_FIELD_SIZE, 'h') + ":/bin/sh\n";

const AccountCase ACCOUNTS[] = {
    // Comments, blanks, a long line before it, a line of the user without ids
    // passed over; its groups: its own first, each that lists it once, none that
    // lists it in a comment, without a group ID or only as the start of a name.
    {"# bexo:x:0:0::/root:/bin/sh\n\n" + LONG_COMMENT + "bexo:x:0:\n  bexo:x:1000:100:B.EXO:/home/bexo:/bin/sh\n",
     "#wheel:x:10:bexo\nusers:x:100:bexo\ndialout:x:20:pi, bexo\nvideo:x:44:bexo\nvideo2:x:44:bexo\nbad:x:2x:bexo\nplugdev:x:46:bexo2,xbexo\n" + MANY_MEMBERS + "gpio:x:997:bexo:extra",
     "is in /etc/group", 1000, 100, "/home/bexo", {100, 20, 44, 31, 997}},
    // Without a home, and without a trailing line end: "/"; its own group in no entry.
    {"root:x:0:0::/root:/bin/sh\nbexo:x:4294967294:4243", "", "is in /etc/group", 4294967294u, 4243, "/", {4243}},
    {"bexo2:x:5:5::/:/bin/sh\nx:x:1:1:bexo:/bexo:/bin/sh\n", "", "is not in /etc/passwd"},
    {"\nbexo:x:4294967295:5::/:/bin/sh\nbexo:x:+5:5::/:/bin/sh\nbexo:x:5\n", "",
     "has no numeric user and group ID on line 2 of /etc/passwd"},
    {LONG_HOME, "", "has a home longer than 255 bytes on line 1 of /etc/passwd"},
    // Its own group and each that lists it, up to the room for them.
    {"bexo:x:7:1000::/:/bin/sh\n", MANY_GROUPS, "is in more than 256 groups of /etc/group"},
    {std::nullopt, "", "cannot be looked up: /etc/passwd cannot be read (No such file or directory)"},
    {"bexo:x:7:7::/:/bin/sh\n", std::nullopt, "cannot be looked up: /etc/group cannot be read (No such file or directory)"},
};

TEST(DaemonConfigCheck, AccountsReadAsTheSystemReadsThem) {
    ScratchDir scratch("accounts");
    const std::string folder = scratch.path().string();
    for (const AccountCase &c : ACCOUNTS) {
        SCOPED_TRACE(c.problem);
        const std::string passwd = folder + "/passwd", group = folder + "/group";
        for (const std::string &file : {passwd, group}) std::filesystem::remove(file);
        if (c.passwd) std::ofstream(passwd) << *c.passwd;
        if (c.group) std::ofstream(group) << *c.group;
        user_account account{};
        const user_result result = user_account_find("bexo", passwd.c_str(), group.c_str(), &account);
        char problem[512];
        user_account_problem(result, problem, sizeof problem);
        std::string named = problem;
        for (size_t at; (at = named.find(folder)) != std::string::npos;) named.replace(at, folder.size(), "/etc");
        EXPECT_EQ(named, c.problem);
        if (result.lookup != USER_FOUND) continue;
        EXPECT_EQ(std::make_tuple(account.uid, account.gid, std::string(account.home)), std::make_tuple(c.uid, c.gid, c.home));
        EXPECT_EQ(std::vector<gid_t>(account.groups, account.groups + account.group_count), c.groups);
    }
}

TEST(DaemonConfigCheck, ShippedFileIsSoundAndAMissingOrIrregularOneIsAProblem) {
    reported.clear();
    EXPECT_EQ(config_check_file(SHIPPED_CONFIG, collect), 0);
    EXPECT_EQ(config_check_file("/nonexistent/bexo.cfg", collect), 1);
    EXPECT_EQ(config_check_file("/dev/null", collect), 1);
    EXPECT_EQ(config_check_file("/tmp", collect), 1);
    EXPECT_EQ(reported, "BEXOD:  Configuration /nonexistent/bexo.cfg cannot be read (No such file or "
                        "directory); every setting reads as missing\n"
                        "BEXOD:  Configuration /dev/null is a character device, not a regular file\n"
                        "BEXOD:  Configuration /tmp is a directory, not a regular file\n");
}

}  // namespace

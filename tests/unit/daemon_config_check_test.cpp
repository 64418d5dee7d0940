// SPDX-License-Identifier: GPL-2.0-or-later
// The daemon's check of bexo.cfg: the line each kind of problem gives, and
// nothing for a sound file.
#include "daemon/config_check.hpp"
#include "scratch_dir.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>
#include <tuple>

namespace {

std::string reported;
void collect(const char *line) { reported += line; }

struct CheckCase {
    std::string content;
    const char *lines;  // each after "BEXOD:  Configuration FILE line "
};

const CheckCase CASES[] = {
    {"[General]\nsleep=1\n[Genral]\ntimer=5\n", "3: unknown section [Genral]; nothing in it is read\n"},
    {"[General\ntimer=5\n[General]\n", "1: [General has no \"]\"; the keys after it are not read\n"},
    {"[nut]\r\nexprot = 1 ; on\r\n", "2: unknown key exprot=1 in [NUT]; not read\n"},
    {"timer=5\n[General]\n", "1: timer=5 before the first section; not read\n"},
    {"[User]\n[General]\n[USER]\ncommand9=x\n", "3: [USER] given again; only the first is read\n"},
    {"[General]\ntimer=5\nTIMER=abc\n", "3: TIMER=abc given again in [General]; only the first is read\n"},
    {"[General]\ntimer=30abc\n", "2: timer=30abc in [General] is not a whole 32-bit number; read as missing\n"},
    {"[NUT]\ninterval=\"-\"\nhostsync=2147483648\n",
     "2: interval=- in [NUT] is not a whole 32-bit number; read as missing\n"
     "3: hostsync=2147483648 in [NUT] is not a whole 32-bit number; read as missing\n"},
    {"[General]\naddress=0x\nmail=-0x1\nsleep=1x5\n",
     "2: address=0x in [General] is not a whole 32-bit number; read as missing\n"
     "3: mail=-0x1 in [General] is not a whole 32-bit number; read as missing\n"
     "4: sleep=1x5 in [General] is not a whole 32-bit number; read as missing\n"},
    {"[General]\nautostart=yes\n", "2: autostart=yes in [General] is not a whole 32-bit number; the service unit is left as it is\n"},
    {"[General]\ntime_shutdown=25:99:00\n", "2: time_shutdown=25:99:00 in [General] is not a time HH:mm:ss\n"},
    // Control bytes never reach a terminal; the second piece of a long comment is no line of its own.
    {"[User]\n;" + std::string(600, 'x') + "\ncommand6=\"a\x1b[2J\"\"b\"\n", "3: unknown key command6=a?[2J\"b in [User]; not read\n"},
    {"[General]\naddress=0x0F\ntimer=-2147483648\nsleep=+1\ntime_boot=24:00:00\ntimed_boot=\n"
     "[Mail]\nanything=1\nanything=2\n[notify]\nCOMMAND=x\n[NUT]\nhostsync=0x7fffffff\n", ""},
};

TEST(DaemonConfigCheck, EachProblemGivesItsLineAndSoundValuesNone) {
    ScratchDir scratch("config_check");
    const std::string file = (scratch.path() / "bexo.cfg").string();
    for (const CheckCase &c : CASES) {
        SCOPED_TRACE(c.content);
        std::ofstream(file, std::ios::trunc) << c.content;
        std::string expected;
        int count = 0;
        for (const char *p = c.lines; *p != '\0'; ++count) {
            const char *end = strchr(p, '\n') + 1;
            expected += "BEXOD:  Configuration " + file + " line " + std::string(p, end);
            p = end;
        }
        reported.clear();
        EXPECT_EQ(config_check_file(file.c_str(), collect), count);
        EXPECT_EQ(reported, expected);
    }
}

// The settings' reader: a value ini_getl would cut after 63 bytes is not whole either.
TEST(DaemonConfigCheck, SettingsTakeOnlyWholeNumbersAndOtherwiseReadAsMissing) {
    ScratchDir scratch("config_read");
    const std::string file = (scratch.path() / "bexo.cfg").string();
    std::ofstream(file) << "[General]\ntimer=0x1F\nsleep=30abc\nmail=" + std::string(63, '0') + "1\n";
    for (const auto &[key, value, unreadable] : {std::tuple{"timer", 31, false}, {"sleep", -7, true}, {"mail", -7, true}, {"address", -7, false}}) {
        bool seen = !unreadable;
        EXPECT_EQ(config_read_integer("General", key, -7, file.c_str(), &seen), value) << key;
        EXPECT_EQ(seen, unreadable) << key;
    }
}

TEST(DaemonConfigCheck, ShippedFileIsSoundAndAMissingOneIsAProblem) {
    reported.clear();
    EXPECT_EQ(config_check_file(SHIPPED_CONFIG, collect), 0);
    EXPECT_EQ(config_check_file("/nonexistent/bexo.cfg", collect), 1);
    EXPECT_EQ(reported, "BEXOD:  Configuration /nonexistent/bexo.cfg cannot be read (No such file or "
                        "directory); every setting reads as missing\n");
}

}  // namespace

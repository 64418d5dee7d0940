// SPDX-License-Identifier: GPL-2.0-or-later
// bexo's command line: usage text, option parsing, the superuser check, the
// bus it opens at start and the board layout it finds in /proc/cpuinfo.

#include <unistd.h>

#include <optional>

#include "tests/system/tool_support.hpp"

namespace {

using namespace tool_test;
using World = tool_test::ToolWorld;

TEST(ToolCommandLine, HelpPrintsTheUsageTextAfterOpeningTheBus) {
    World w;
    for (const char *help : {"-help", "--help", "-d", "-he"}) {
        SCOPED_TRACE(help);
        const auto r = w.bexo({help});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, golden("usage.txt"));
        EXPECT_EQ(r.err, "");
    }
    EXPECT_EQ(traffic(w), join({START, START, START, START}));
    EXPECT_EQ(w.config(), DEFAULT_CONFIG);
}

TEST(ToolCommandLine, ParserComplaintsGoToStderrBeforeTheUsageText) {
    const struct {
        std::vector<std::string> args;
        std::string complaint;
    } cases[] = {
        {{"-s"}, "bexo: option '-s' is ambiguous; possibilities: '-status' '-sleep' '-shutdown' "
                 "'-setboot' '-setshutdown'\n"},
        {{"-x"}, "bexo: unrecognized option '-x'\n"},
        {{"-zap"}, "bexo: unrecognized option '-zap'\n"},
        {{"-timer"}, "bexo: option '-timer' requires an argument\n"},
        {{"-8"}, "bexo: option requires an argument -- '8'\n"},
        {{"-flash"}, "bexo: option '-flash' requires an argument\n"},
        {{"-chgadd"}, "bexo: option '-chgadd' requires an argument\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.args[0]);
        World w;
        const auto r = w.bexo(c.args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, c.complaint);
        EXPECT_EQ(r.out, golden("usage.txt"));
        EXPECT_EQ(traffic(w), START) << "nothing sent to the board";
        EXPECT_EQ(w.config(), DEFAULT_CONFIG);
        EXPECT_TRUE(w.shim_calls().empty());
    }
}

TEST(ToolCommandLine, MissingValueAsLastWordChangesNothingButEarlierOptionsStand) {
    World w;
    const auto r = w.bexo({"-sleep", "5", "-timer"}, fixed_clock());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "bexo: option '-timer' requires an argument\n");
    EXPECT_EQ(r.out, boxed("* Sleep timer set to: 5        *\n" + std::string(RESTART_LINES)) +
                         golden("usage.txt"));
    EXPECT_EQ(w.config(), "[General]\naddress=0x36\nsleep=5\n");
}

TEST(ToolCommandLine, NoOptionOpensTheBusAndPrintsNothing) {
    World w;
    const auto r = w.bexo({});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(traffic(w), START);
}

TEST(ToolCommandLine, ShortFormsAbbreviationsAndJoinedValuesReachTheirHandlers) {
    const auto clock = fixed_clock();
    {
        World w;
        for (const char *status : {"-7", "-stat", "--status"}) {
            SCOPED_TRACE(status);
            EXPECT_EQ(w.bexo({status}, clock).out, golden("status_default.txt"));
        }
    }
    const struct {
        std::vector<std::string> args;
        std::string config;
        sim::Bytes commands;
    } cases[] = {
        {{"-h", "07:30:00"}, "[General]\naddress=0x36\ntime_boot=07:30:00\n", {0x22}},
        {{"-timer=30"}, "[General]\naddress=0x36\ntimer=30\n", {0x22}},
        {{"--timer", "30"}, "[General]\naddress=0x36\ntimer=30\n", {0x22}},
        {{"-8", "30"}, "[General]\naddress=0x36\ntimer=30\n", {0x22}},
        {{"-setsh", "22:00:00"}, "[General]\naddress=0x36\ntime_shutdown=22:00:00\n", {0x22}},
        {{"-a500"}, DEFAULT_CONFIG, {0x22, 0x37}},
        {{"-chrgpwr=300"}, DEFAULT_CONFIG, {0x22, 0x37}},
        {{"-f0"}, "[General]\naddress=0x36\ntimed_boot=0\n", {0x22, 0x55}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.args[0]);
        World w;
        const auto r = w.bexo(c.args, clock);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(w.config(), c.config);
        EXPECT_EQ(w.commands(), c.commands);
    }
}

TEST(ToolCommandLine, SeveralOptionsInOneRunEachTakeTheirOwnValue) {
    World w;
    const auto r = w.bexo({"-timer", "30", "-vin", "0", "-sleep", "5", "-capbat"}, fixed_clock());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, boxed("* Shutdown timer set to: 30    *\n" + std::string(RESTART_LINES)) + "5.10\n" +
                         boxed("* Sleep timer set to: 5        *\n" + std::string(RESTART_LINES)) +
                         boxed("* Battery capacity: 80.34%     *\n"
                               "* Battery voltage: 4.08V       *\n"));
    EXPECT_EQ(w.config(), "[General]\naddress=0x36\ntimer=30\nsleep=5\n");
    EXPECT_EQ(w.commands(), (sim::Bytes{0x22, 0xD0, 0x22, 0x22, 0x23}));
}

TEST(ToolCommandLine, NonRootIsRefusedBeforeAnyOutputOrChange) {
    const std::vector<std::vector<std::string>> superuser_runs = {
        {"-timer", "30"},       {"-auto", "1"},         {"-sleep", "5"},
        {"-chgadd", "0x20"},    {"-mail", "1"},         {"-boot", "0"},
        {"-shutdown", "1"},     {"-setboot", "07:30:00"}, {"-setshutdown", "22:00:00"},
        {"-auto", "2"},         {"-chgadd", "15"},      {"-setboot", "7:30"},
        {"-vin", "0", "-timer", "30"},
    };
    for (const auto &args : superuser_runs) {
        SCOPED_TRACE(args[0] + " " + args[1]);
        World w;
        const auto before = stamp(CONFIG_PATH);
        const auto r = w.bexo(args, as_user());
        EXPECT_EQ(r.status, 0);
        const std::string refusal = "Please use the command with superuser privilegs.\n";
        EXPECT_EQ(r.out, args[0] == "-vin" ? "5.10\n" + refusal : refusal);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(w.config(), DEFAULT_CONFIG);
        EXPECT_EQ(stamp(CONFIG_PATH), before);
        EXPECT_EQ(traffic(w), args[0] == "-vin" ? join({START, {"write d0", "read d0 ec 13"}}) : START);
    }
}

TEST(ToolCommandLine, NonRootMayReadTheBoard) {
    World w;
    const auto r = w.bexo({"-status"}, as_user());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, golden("status_default.txt"));
}

TEST(ToolCommandLine, AddressFromTheConfigurationSelectsTheBoard) {
    const struct {
        const char *name;
        std::optional<std::string> config;
        int board_address;
        int status;
        std::string out, err, bind;
    } cases[] = {
        {"no address key", "[General]\ntimer=30\n", 0x36, 1, "",
         "Unable to select I2C device: Invalid argument\n", "bind 0xff EINVAL"},
        {"no configuration file", std::nullopt, 0x36, 1, "",
         "Unable to select I2C device: Invalid argument\n", "bind 0xff EINVAL"},
        {"address above 0x7f", "[General]\naddress=0x80\n", 0x36, 1, "",
         "Unable to select I2C device: Invalid argument\n", "bind 0x80 EINVAL"},
        {"address in decimal", "[general]\nADDRESS = 15\n", 0x0F, 0, "5.10\n", "", "bind 0x0f"},
        {"hexadecimal address", "[General]\naddress=0x2a\n", 0x2A, 0, "5.10\n", "", "bind 0x2a"},
        {"only the low 8 bits count", "[General]\naddress=0x120\n", 0x20, 0, "5.10\n", "", "bind 0x20"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        World w;
        if (c.config) {
            w.set_config(*c.config);
        } else {
            unlink(CONFIG_PATH);
        }
        w.board().set_address(c.board_address);
        const auto r = w.bexo({"-vin", "0"});
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, c.err);
        const auto t = traffic(w);
        ASSERT_GE(t.size(), 2u);
        EXPECT_EQ(t[1], c.bind);
        EXPECT_EQ(t.size(), c.status == 0 ? 4u : 2u);
    }
}

TEST(ToolCommandLine, NoBoardAtTheAddressEndsWithStatus1) {
    World w;
    w.set_config("[General]\naddress=0x20\n");
    const auto r = w.bexo({"-vin", "0"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Unable to select I2C device\n");
    EXPECT_EQ(traffic(w), (Traffic{"open /dev/i2c-1", "bind 0x20", "write d0 EREMOTEIO", "read EREMOTEIO"}));
}

TEST(ToolCommandLine, MissingBusNodeEndsWithStatus1) {
    sim::Options o;
    o.bus1 = false;
    World w(o);
    const auto r = w.bexo({"-help"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Unable to open I2C device: No such file or directory\n");
    EXPECT_TRUE(traffic(w).empty()) << "a missing node never reaches the bus";
}

std::string oops(const std::string &reason) {
    return "Oops: Unable to determine board revision from /proc/cpuinfo\n -> " + reason +
           "\n ->  You'd best google the error to find out why.\n";
}

std::string unsupported(const std::string &hardware_line) {
    return "Unable to determine hardware version. I see: " + hardware_line +
           ",\n - expecting BCM2708, BCM2709 or BCM2835.\n"
           "If this is a genuine Raspberry Pi then please report this\n"
           "to the maintainers of this software. If this is not a Raspberry Pi then you\n"
           "are on your own as this software is designed to support the\n"
           "Raspberry Pi ONLY.\n";
}

// The bus the tool opens is visible in the traffic; the board sits there.
TEST(ToolCommandLine, CpuinfoDecidesTheBusOrEndsTheRun) {
    const std::string long_line = "Hardware\t: " + std::string(120, 'x') + " BCM2835\n";
    const struct {
        const char *name;
        std::string cpuinfo;
        int bus;          // 0 or 1: the node the board is found on; -1: the run fails
        std::string err;  // when it fails
    } cases[] = {
        {"BCM2708, revision 0002", sim::cpuinfo_with("BCM2708", "0002"), 0, ""},
        {"BCM2835, seven digits ending 0003", sim::cpuinfo_with("BCM2835", "1000003"), 0, ""},
        {"BCM2709, six digits", sim::cpuinfo_with("BCM2709", "a21041"), 1, ""},
        {"revision 000f", sim::cpuinfo_with("BCM2835", "000f"), 1, ""},
        {"CR LF line end", "Hardware\t: BCM2708\r\nRevision\t: 0002\r\n", 0, ""},
        {"trailing space", "Hardware\t: BCM2708\nRevision\t: 0002 \n", 1, ""},
        {"revision before hardware", "Revision\t: 0003\nHardware\t: BCM2709\n", 0, ""},
        {"chip anywhere in the line", "Hardware\t: Broadcom BCM2835 rev\nRevision\t: 0002\n", 0, ""},
        {"revision abc", sim::cpuinfo_with("BCM2835", "abc"), -1, oops("Bogus revision line (too small)")},
        {"nothing after the colon", "Hardware\t: BCM2835\nRevision\t:   \n", -1,
         oops("Bogus \"Revision\" line (no hex digit at start of revision)")},
        {"no colon", "Hardware\t: BCM2835\nRevision 0002\n", -1, oops("Bogus \"Revision\" line (no colon)")},
        {"no revision line", sim::cpuinfo_with("BCM2835", ""), -1, oops("No \"Revision\" line")},
        {"lower-case hardware", "hardware\t: BCM2835\nRevision\t: 0002\n", -1, oops("No \"Hardware\" line")},
        {"unsupported chip", sim::cpuinfo_with("BCM2711", "c03111"), -1, unsupported("Hardware\t: BCM2711\n")},
        {"chip beyond 119 characters", long_line + "Revision\t: 0002\n", -1,
         unsupported(long_line.substr(0, 119))},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        sim::Options o;
        o.cpuinfo = c.cpuinfo;
        o.board_bus = c.bus < 0 ? 1 : c.bus;
        World w(o);
        const auto r = w.bexo({"-vin", "0"});
        if (c.bus < 0) {
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(r.out, "");
            EXPECT_EQ(r.err, c.err);
            EXPECT_TRUE(traffic(w).empty());
            continue;
        }
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "5.10\n");
        const std::string node = c.bus == 0 ? "/dev/i2c-0" : "/dev/i2c-1";
        EXPECT_EQ(traffic(w), (Traffic{"open " + node, "bind 0x36", "write d0", "read d0 ec 13"}));
    }
}

TEST(ToolCommandLine, DeviceTreeModelStandsInForAMissingHardwareLine) {
    const struct {
        const char *name;
        std::optional<std::string> model;
        bool works;
    } cases[] = {
        {"Pi 4 model file", "Raspberry Pi 4 Model B Rev 1.4", true},
        {"Pi 5 model file", "Raspberry Pi 5 Model B Rev 1.0", true},
        {"no model file", std::nullopt, false},
        {"another board", "Radxa ROCK 4", false},
        {"prefix cut short", "Raspberry P", false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        sim::Options o;
        o.cpuinfo = sim::cpuinfo_pi4_64bit();
        o.device_tree_model = c.model;
        World w(o);
        const auto r = w.bexo({"-vin", "0"});
        if (c.works) {
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(r.out, "5.10\n");
            EXPECT_EQ(traffic(w), (Traffic{"open /dev/i2c-1", "bind 0x36", "write d0", "read d0 ec 13"}));
        } else {
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(r.err, oops("No \"Hardware\" line"));
            EXPECT_TRUE(traffic(w).empty());
        }
    }
}

}  // namespace

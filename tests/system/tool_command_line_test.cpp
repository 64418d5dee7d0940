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
    EXPECT_EQ(r.err, sim::NO_BUS_NODE_TEXT);
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
        {"unsupported chip", sim::cpuinfo_with("sun50iw1p1", "0000"), -1, unsupported("Hardware\t: sun50iw1p1\n")},
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

// The lines of /proc/cpuinfo that decide, as each kernel prints them: the
// 32-bit kernels of Raspberry Pi OS print all three (Model since 4.19),
// its 64-bit kernels printed Hardware until late 2023, mainline kernels
// print no Model line, and a mainline arm64 kernel none of them.
std::string cpuinfo_lines(const char *hardware, const char *revision, const char *model) {
    std::string s = "processor\t: 0\n";
    if (hardware) s += std::string("Hardware\t: ") + hardware + "\n";
    if (revision) s += std::string("Revision\t: ") + revision + "\n";
    if (model) s += std::string("Model\t\t: ") + model + "\n";
    return s;
}

// Real Pis as their kernels describe them (texts from owners' reports), and
// boards that are no Pi. The device tree's model is what the Model line
// shows where there is one; mainline kernels use their own device trees.
TEST(ToolCommandLine, EveryPiAsItsKernelDescribesIt) {
    const struct {
        const char *name;
        const char *hardware;
        const char *revision;
        const char *model_line;
        std::optional<std::string> model;  // /proc/device-tree/model
        int bus;                           // -1: the run fails with `err`
        std::string err;
    } cases[] = {
        {"Pi 1 B rev 1, kernel 3.x", "BCM2708", "0002", nullptr, std::nullopt, 0, ""},
        {"Pi 1 B+, Raspbian 4.4", "BCM2708", "0010", nullptr, "Raspberry Pi Model B Plus Rev 1.2", 1, ""},
        {"Zero W", "BCM2835", "9000c1", "Raspberry Pi Zero W Rev 1.1", "Raspberry Pi Zero W Rev 1.1", 1, ""},
        {"Pi 2, 4.9", "BCM2835", "a01041", nullptr, std::nullopt, 1, ""},
        {"Pi 3 B+, 64-bit", "BCM2835", "a020d3", "Raspberry Pi 3 Model B Plus Rev 1.3",
         "Raspberry Pi 3 Model B Plus Rev 1.3", 1, ""},
        {"Zero 2 W", "BCM2835", "902120", "Raspberry Pi Zero 2 W Rev 1.0", "Raspberry Pi Zero 2 W Rev 1.0", 1, ""},
        {"Pi 4, 4.19 32-bit", "BCM2835", "c03111", nullptr, std::nullopt, 1, ""},
        {"Pi 4, 5.4 and later 32-bit", "BCM2711", "c03112", "Raspberry Pi 4 Model B Rev 1.2",
         "Raspberry Pi 4 Model B Rev 1.2", 1, ""},
        {"Pi 4 32-bit, no device tree", "BCM2711", "c03112", nullptr, std::nullopt, 1, ""},
        {"Pi 400", "BCM2711", "c03131", "Raspberry Pi 400 Rev 1.1", "Raspberry Pi 400 Rev 1.1", 1, ""},
        {"CM4", "BCM2711", "b03140", "Raspberry Pi Compute Module 4 Rev 1.0",
         "Raspberry Pi Compute Module 4 Rev 1.0", 1, ""},
        {"Pi 5, 64-bit 2023", "BCM2835", "d04170", "Raspberry Pi 5 Model B Rev 1.0", "Raspberry Pi 5 Model B Rev 1.0",
         1, ""},
        {"Pi 4, 64-bit 2025", nullptr, "d03115", "Raspberry Pi 4 Model B Rev 1.5", "Raspberry Pi 4 Model B Rev 1.5", 1,
         ""},
        {"Pi 3 B+, mainline 32-bit", "BCM2835", "0000", nullptr, "Raspberry Pi 3 Model B+", 1, ""},
        {"Pi 3, Debian arm64", nullptr, nullptr, nullptr, "Raspberry Pi 3 Model B", 1, ""},
        {"Pi named, chip unknown", "Generic DT based system", "0000", nullptr, "Raspberry Pi 3 Model B", 1, ""},
        {"Pi named, bogus revision", "BCM2835", "abc", nullptr, "Raspberry Pi 3 Model B", -1,
         oops("Bogus revision line (too small)")},
        {"no model file", nullptr, "d03115", nullptr, std::nullopt, -1, oops("No \"Hardware\" line")},
        {"another board", nullptr, nullptr, nullptr, "Radxa ROCK 4", -1, oops("No \"Hardware\" line")},
        {"prefix cut short", nullptr, "c03114", nullptr, "Raspberry P", -1, oops("No \"Hardware\" line")},
        {"another board's chip", "Allwinner sun8i Family", "0000", nullptr, "Xunlong Orange Pi PC", -1,
         unsupported("Hardware\t: Allwinner sun8i Family\n")},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        sim::Options o;
        o.cpuinfo = cpuinfo_lines(c.hardware, c.revision, c.model_line);
        o.device_tree_model = c.model;
        o.board_bus = c.bus < 0 ? 1 : c.bus;
        World w(o);
        const auto r = w.bexo({"-vin", "0"});
        if (c.bus < 0) {
            EXPECT_EQ(r.status, 1);
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

}  // namespace

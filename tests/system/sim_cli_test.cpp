// SPDX-License-Identifier: GPL-2.0-or-later
// Tests of bexo-sim, the command-line front of the world, run from inside a
// world of the test's own (bexo-sim then builds a nested one).

#include <gtest/gtest.h>

#include "sim/world.hpp"

namespace {

sim::Result bexo_sim(sim::World &w, std::vector<std::string> args) {
    args.insert(args.begin(), BEXO_SIM);
    return w.run(args);
}

TEST(BexoSim, SetsUpTheBoardFromItsOptionsAndTracesTheRun) {
    sim::World w;
    const auto r = bexo_sim(w, {"--battery-raw", "745", "--battery-state", "1", "--trace", "--", SIM_PROBE,
                                "open:/dev/i2c-1", "bind:0x36", "smbus:0x23", "read:6"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("read 6 OK 23,e9,02,01,00,00"), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("/dev/i2c-1 0x36 smbus-write  23"), std::string::npos) << r.err;
    EXPECT_TRUE(w.events().empty()) << "the nested world's traffic stays in the nested world";
}

TEST(BexoSim, OptionsReachTheWorld) {
    sim::World w;
    const struct {
        std::vector<std::string> args;
        std::string out;
    } cases[] = {
        {{"--no-i2c-1", "--", SIM_PROBE, "open:/dev/i2c-1"}, "open -1 ENOENT\n"},
        {{"--wrong-echo", "2", "--", SIM_PROBE, "open:/dev/i2c-1", "bind:0x36", "smbus:0x22", "read:1",
          "read:1", "read:1"},
         "open 0 OK\nbind 0 OK\nsmbus 0 OK\nread 1 OK dd\nread 1 OK dd\nread 1 OK 22\n"},
        {{"--address", "0x0f", "--firmware", "3.4", "--model", "5", "--", SIM_PROBE, "open:/dev/i2c-1",
          "bind:0x0f", "smbus:0x22", "read:5"},
         "open 0 OK\nbind 0 OK\nsmbus 0 OK\nread 5 OK 22,03,04,05,00\n"},
        {{"--at", "0.1:lose-supply", "--", SIM_PROBE, "open:/dev/i2c-1", "bind:0x36", "sleep:400",
          "write:45", "read:2"},
         "open 0 OK\nbind 0 OK\nwrite 1 OK\nread 2 OK 45,00\n"},
        {{"--gpio-base", "512", "--", "cat", "/sys/class/gpio/gpiochip512/base"}, "512\n"},
        {{"--", "cat", "/opt/bexod/bexo.cfg"}, "[General]\naddress=0x36\n"},
        {{"--config", "/etc/hostname", "--", "cmp", "/etc/hostname", "/opt/bexod/bexo.cfg"}, ""},
        {{"--install", "/etc/hostname:/opt/bexod/start/bexod.service", "--", "cmp", "/etc/hostname",
          "/opt/bexod/start/bexod.service"},
         ""},
        {{"--no-config", "--", "sh", "-c", "test ! -e /opt/bexod/bexo.cfg"}, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.args[0]);
        const auto r = bexo_sim(w, c.args);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, c.out);
    }
    const auto user = bexo_sim(w, {"--as-user", "--", "id", "-u"});
    EXPECT_EQ(user.status, 0);
    EXPECT_NE(user.out, "0\n");
}

TEST(BexoSim, ExitsWithTheCommandsStatus) {
    sim::World w;
    EXPECT_EQ(bexo_sim(w, {"--", "sh", "-c", "exit 3"}).status, 3);
    EXPECT_EQ(bexo_sim(w, {"--timeout", "0.2", "--", "sleep", "5"}).status, 124);
    const auto help = bexo_sim(w, {"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("Usage: bexo-sim", 0), 0u);
    EXPECT_EQ(bexo_sim(w, {"--bogus"}).status, 2);
}

// The control tool as a newcomer first meets it.
TEST(BexoSim, RunsTheRealControlTool) {
    sim::World w;
    const auto help = bexo_sim(w, {"--", "bexo", "-help"});
    EXPECT_EQ(help.status, 0) << help.err;
    EXPECT_EQ(help.out.rfind("Usage: bexo ", 0), 0u) << help.out;
    const auto missing = bexo_sim(w, {"--no-i2c-1", "--", "bexo", "-help"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, sim::NO_BUS_NODE_TEXT);
}

}  // namespace

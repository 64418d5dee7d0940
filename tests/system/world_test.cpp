// SPDX-License-Identifier: GPL-2.0-or-later
// Tests of the simulated world itself: a small client (sim-probe) and a few
// shell commands act in it the way bexo and bexod will, and the world must
// answer as the kernel and the board would, and record what happened.

#include <gtest/gtest.h>
#include <signal.h>

#include <cerrno>
#include <filesystem>
#include <sstream>
#include <thread>

#include "sim/world.hpp"
#include "tests/system/gpio_edge_cases.hpp"

namespace {

using sim::Board;
using sim::Bytes;
using sim::Event;
using sim::Kind;
using sim::ReplyFault;
using sim::World;

std::vector<std::string> lines(const std::string &text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

// sim-probe copied into the world, where a non-root run can reach it too.
std::vector<std::string> probe(World &w, std::vector<std::string> steps, sim::RunOptions o = {}) {
    const std::string copy = w.bin_dir() + "/sim-probe";
    if (!World::exists(copy)) std::filesystem::copy_file(SIM_PROBE, copy);
    steps.insert(steps.begin(), copy);
    const sim::Result r = w.run(steps, o);
    EXPECT_EQ(r.status, 0) << r.err;
    return lines(r.out);
}

sim::Result sh(World &w, const std::string &script, sim::RunOptions o = {}) {
    return w.run({"sh", "-c", script}, o);
}

// One request and one reply straight at the model.
Bytes exchange(Board &b, const Bytes &request, size_t length) {
    EXPECT_EQ(b.bus_write(b.address(), request), 0);
    Bytes reply;
    EXPECT_EQ(b.bus_read(b.address(), length, reply), 0);
    return reply;
}

// ---------------------------------------------------------------- board

TEST(SimBoard, RepliesFollowTheCommandLayouts) {
    Board b;
    b.set_firmware(2, 7);
    b.set_model(4);
    b.set_input_mv(0x1234);
    b.set_extern_ma(0x0201);
    b.set_battery_current(300, 2);
    b.set_battery(745, 1, 0x0102);
    b.set_charger(false, 2);
    b.set_on_battery(true);
    b.set_battery_low(true);
    b.set_primary_present(false);
    const struct {
        Bytes request;
        size_t length;
        Bytes reply;
    } cases[] = {
        {{0x22}, 5, {0x22, 2, 7, 4, 0}},
        {{0xD0}, 3, {0xD0, 0x34, 0x12}},
        {{0xD1}, 6, {0xD1, 0x01, 0x02, 0, 0, 0}},
        {{0xD2}, 6, {0xD2, 0x2C, 0x01, 2, 0, 0}},
        {{0x23}, 6, {0x23, 0xE9, 0x02, 1, 0x02, 0x01}},
        {{0x36}, 3, {0x36, 1, 0}},
        {{0x35}, 3, {0x35, 0, 2}},
        {{0x37, 0x00}, 3, {0x37, 0, 0}},   // sets 1000 mA; reports the code now in force
        {{0x37, 0x07}, 3, {0x37, 0, 0}},   // an unknown code changes nothing
        {{0x29}, 3, {0x29, 1, 0}},
        {{0x35}, 3, {0x35, 1, 0}},         // 0x29 switched the charger on
        {{0x21}, 6, {0x21, 0, 0, 0, 0, 1}},
        {{0x45}, 6, {0x45, 0, 0, 0, 0, 0}},
        {{0x99}, 3, {0xFF, 0xFF, 0xFF}},   // unknown command: an idle bus
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(sim::hex(c.request));
        EXPECT_EQ(exchange(b, c.request, c.length), c.reply);
    }
    Board fresh;
    Bytes reply;
    EXPECT_EQ(fresh.bus_read(fresh.address(), 3, reply), 0);
    EXPECT_EQ(reply, (Bytes{0xFF, 0xFF, 0xFF})) << "a read before any request echoes nothing";
}

TEST(SimBoard, ButtonIsReportedOnceAndTheLineFallsOnlyWhenTheHostIsTold) {
    Board b;
    EXPECT_FALSE(b.line());
    b.press_button(2);
    EXPECT_TRUE(b.line());
    b.wrong_echo(1);
    Bytes bad = exchange(b, {0x33}, 3);
    EXPECT_NE(bad[0], 0x33);
    EXPECT_EQ(b.pending_button(), 2) << "a reply the host rejects does not clear the event";
    EXPECT_EQ(exchange(b, {0x33}, 3), (Bytes{0x33, 2, 0}));
    EXPECT_EQ(exchange(b, {0x33}, 3), (Bytes{0x33, 0, 0}));
    EXPECT_TRUE(b.line());
    exchange(b, {0x44}, 0);
    EXPECT_FALSE(b.line());

    b.lose_supply();
    EXPECT_TRUE(b.line());
    EXPECT_EQ(exchange(b, {0x33}, 3), (Bytes{0x33, 0, 0})) << "no button: the host reads a supply loss";
    EXPECT_EQ(exchange(b, {0x36}, 3), (Bytes{0x36, 1, 0}));
    exchange(b, {0x34}, 0);
    EXPECT_TRUE(b.line()) << "supply still missing";
    b.restore_supply();
    EXPECT_EQ(exchange(b, {0x45}, 6)[1], 1);
    EXPECT_TRUE(b.line());
    exchange(b, {0x34}, 0);
    EXPECT_FALSE(b.line());
}

TEST(SimBoard, KeepsWhatTheHostToldIt) {
    Board b;
    const Bytes record{0x54, 7, 30, 0, 22, 15, 7, 0, 0, 0};
    EXPECT_EQ(b.bus_write(0x36, {0x53}), 0);
    EXPECT_EQ(b.bus_write(0x36, record), 0);
    EXPECT_TRUE(b.timed_boot_armed());
    EXPECT_EQ(b.time_record(), record);
    EXPECT_EQ(b.bus_write(0x36, {0x55}), 0);
    EXPECT_FALSE(b.timed_boot_armed());
    for (uint8_t c : {0x43, 0x43, 0x49, 0x42}) b.bus_write(0x36, {c});
    EXPECT_EQ(b.seen(0x43), 2);
    EXPECT_EQ(b.seen(0x49), 1);
    EXPECT_EQ(b.seen(0x42), 1);
    EXPECT_EQ(b.bus_write(0x36, {0x41, 0x0F}), 0);
    EXPECT_EQ(b.address(), 0x0F);
    EXPECT_EQ(b.bus_write(0x36, {0x22}), EREMOTEIO) << "the old address no longer answers";
    EXPECT_EQ(b.bus_write(0x0F, {0x22}), 0);
}

TEST(SimBoard, ChargerSwitchCanBeRefused) {
    Board b;
    b.set_charger(true, 1);
    b.set_charger_switch_works(false);
    EXPECT_EQ(exchange(b, {0x27}, 3), (Bytes{0x27, 0, 0}));
    EXPECT_TRUE(b.charger_on());
    b.set_charger_switch_works(true);
    EXPECT_EQ(exchange(b, {0x27}, 3), (Bytes{0x27, 1, 0}));
    EXPECT_FALSE(b.charger_on());
}

// The echo of each of `reads` replies to 0x22, 0 for a failed read.
std::vector<int> echoes(Board &b, int reads) {
    std::vector<int> out;
    b.bus_write(b.address(), {0x22});
    for (int i = 0; i < reads; i++) {
        Bytes reply;
        out.push_back(b.bus_read(b.address(), 5, reply) == 0 ? reply[0] : 0);
    }
    return out;
}

TEST(SimBoard, FaultsCountRepliesAndFollowTheSchedule) {
    const int W = static_cast<uint8_t>(~0x22), G = 0x22, F = 0;
    Board b;
    b.wrong_echo(2);
    EXPECT_EQ(echoes(b, 3), (std::vector<int>{W, W, G}));
    b.fail_reads(1);
    EXPECT_EQ(echoes(b, 2), (std::vector<int>{F, G}));
    b.set_reply_schedule({ReplyFault::WrongEcho, ReplyFault::FailRead, ReplyFault::Good});
    EXPECT_EQ(echoes(b, 6), (std::vector<int>{W, F, G, W, F, G}));
    b.set_reply_schedule({ReplyFault::WrongEcho, ReplyFault::FailRead}, false);
    EXPECT_EQ(echoes(b, 3), (std::vector<int>{W, F, G}));
    b.fail_reads(-1);
    EXPECT_EQ(echoes(b, 3), (std::vector<int>{F, F, F}));
    b.fail_reads(0);
    b.set_answering(false);
    EXPECT_EQ(b.bus_write(b.address(), {0x22}), EREMOTEIO);
}

// ---------------------------------------------------------------- bus

TEST(SimBus, AnswersLikeTheKernelDriver) {
    sim::Options missing_bus1;
    missing_bus1.bus1 = false;
    sim::Options old_layout;
    old_layout.board_bus = 0;
    const struct {
        const char *name;
        sim::Options options;
        std::function<void(Board &)> setup;
        std::vector<std::string> steps;
        std::vector<std::string> expected;
    } cases[] = {
        {"address above 0x7f", {}, nullptr, {"open:/dev/i2c-1", "bind:0x80"}, {"open 0 OK", "bind -1 EINVAL"}},
        {"no device at the address", {}, nullptr,
         {"open:/dev/i2c-1", "bind:0x20", "smbus:0x22", "write:22", "read:5"},
         {"open 0 OK", "bind 0 OK", "smbus -1 EREMOTEIO", "write -1 EREMOTEIO", "read -1 EREMOTEIO"}},
        {"unbound descriptor", {}, nullptr, {"open:/dev/i2c-1", "smbus:0x22"},
         {"open 0 OK", "smbus -1 EREMOTEIO"}},
        {"missing node", missing_bus1, nullptr, {"open:/dev/i2c-1", "open:/dev/i2c-0"},
         {"open -1 ENOENT", "open 0 OK"}},
        {"board on the old bus", old_layout, nullptr,
         {"open:/dev/i2c-1", "bind:0x36", "smbus:0x22", "open:/dev/i2c-0", "bind:0x36", "smbus:0x22"},
         {"open 0 OK", "bind 0 OK", "smbus -1 EREMOTEIO", "open 0 OK", "bind 0 OK", "smbus 0 OK"}},
        {"board that does not answer", {}, [](Board &b) { b.set_answering(false); },
         {"open:/dev/i2c-1", "bind:0x36", "smbus:0x22", "read:5"},
         {"open 0 OK", "bind 0 OK", "smbus -1 EREMOTEIO", "read -1 EREMOTEIO"}},
        {"failing reads", {}, [](Board &b) { b.fail_reads(1); },
         {"open:/dev/i2c-1", "bind:0x36", "write:d0", "read:3", "read:3"},
         {"open 0 OK", "bind 0 OK", "write 1 OK", "read -1 EREMOTEIO", "read 3 OK d0,ec,13"}},
        {"new address after 0x41", {}, nullptr,
         {"open:/dev/i2c-1", "bind:0x36", "write:41,20", "smbus:0x22", "bind:0x20", "smbus:0x22", "read:5"},
         {"open 0 OK", "bind 0 OK", "write 2 OK", "smbus -1 EREMOTEIO", "bind 0 OK", "smbus 0 OK",
          "read 5 OK 22,01,0c,00,00"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        World w(c.options);
        if (c.setup) c.setup(w.board());
        EXPECT_EQ(probe(w, c.steps), c.expected);
    }
}

TEST(SimBus, RecordsEveryTransferInOrderWithItsTime) {
    World w;
    probe(w, {"open:/dev/i2c-1", "bind:0x36", "smbus:0x44", "sleep:100", "smbus:0x43",
              "write:54,07,1e,00,00,00,00,00,00,00", "write:23", "read:6", "bind:0x21", "write:22"});
    EXPECT_EQ(w.commands(), (Bytes{0x44, 0x43, 0x54, 0x23})) << "the write to 0x21 is not to the board";
    EXPECT_EQ(w.requests()[2], (Bytes{0x54, 7, 30, 0, 0, 0, 0, 0, 0, 0}));

    const auto bus = sim::only(w.events(), sim::is_bus);
    ASSERT_EQ(bus.size(), 9u) << sim::format_trace(bus);
    const Kind kinds[] = {Kind::I2cOpen, Kind::I2cBind, Kind::SmbusByteWrite, Kind::SmbusByteWrite,
                          Kind::Write, Kind::Write, Kind::Read, Kind::I2cBind, Kind::Write};
    for (size_t i = 0; i < bus.size(); i++) {
        EXPECT_EQ(bus[i].kind, kinds[i]) << i;
        EXPECT_EQ(bus[i].node, "/dev/i2c-1");
        if (i > 0) {
            EXPECT_GE(bus[i].t, bus[i - 1].t);
        }
    }
    EXPECT_EQ(bus[6].bytes, (Bytes{0x23, 0xF8, 0x02, 0, 0, 0}));
    EXPECT_EQ(bus[6].result, 6);
    EXPECT_EQ(bus[8].address, 0x21);
    EXPECT_EQ(bus[8].err, EREMOTEIO);
    const double pause = bus[3].t - bus[2].t;
    EXPECT_GE(pause, 0.099);
    EXPECT_LT(pause, 0.25);
}

TEST(SimBus, EachDescriptorKeepsItsOwnAddress) {
    World w;
    EXPECT_EQ(probe(w, {"open:/dev/i2c-1", "bind:0x36", "open:/dev/i2c-1", "bind:0x20", "use:0",
                        "smbus:0x22", "use:1", "smbus:0x22", "use:0", "read:5"}),
              (std::vector<std::string>{"open 0 OK", "bind 0 OK", "open 0 OK", "bind 0 OK", "smbus 0 OK",
                                        "smbus -1 EREMOTEIO", "read 5 OK 22,01,0c,00,00"}));
}

TEST(SimBus, OtherSmbusTransfersAreMadeOfPlainWritesAndReads) {
    World w;
    EXPECT_EQ(probe(w, {"open:/dev/i2c-1", "bind:0x36", "funcs", "wbdata:0x37,0x02", "rbdata:0xd0",
                        "rword:0xd0", "rbyte", "quick", "block:0x22"}),
              (std::vector<std::string>{"open 0 OK", "bind 0 OK", "funcs 0 OK 7f0001", "wbdata 0 OK",
                                        "rbdata 0 OK d0", "rword 0 OK ecd0", "rbyte 0 OK d0", "quick 0 OK",
                                        "block -1 EOPNOTSUPP"}));
    EXPECT_EQ(w.board().charge_code(), 2);
    std::vector<std::string> texts;
    for (const auto &e : w.events())
        if (e.kind == Kind::Smbus) texts.push_back(e.text + " " + sim::hex(e.bytes));
    EXPECT_EQ(texts, (std::vector<std::string>{"write-byte-data 37 02", "read-byte-data d0",
                                               "read-word-data d0 ec", "read-byte d0", "quick ",
                                               "size 5 "}));
    EXPECT_TRUE(w.commands().empty()) << "only byte writes and plain writes count as board writes";
}

// ---------------------------------------------------------------- GPIO

TEST(SimGpio, FollowsTheKernelSysfsRules) {
    World w;
    const std::string g = "/sys/class/gpio/";
    const std::vector<std::pair<std::string, std::string>> steps = {
        {"rfile:" + g + "gpio27/value", "rfile -1 ENOENT"},
        {"wfile:" + g + "export=27", "wfile 2 OK"},
        {"wfile:" + g + "export=27", "wfile -1 EBUSY"},
        {"wfile:" + g + "export=54", "wfile -1 EINVAL"},
        {"wfile:" + g + "export=abc", "wfile -1 EINVAL"},
        {"wfile:" + g + "unexport=5", "wfile -1 EINVAL"},
        {"rfile:" + g + "gpio27/direction", "rfile 3 OK \"in\\n\""},
        {"rfile:" + g + "gpio27/value", "rfile 2 OK \"0\\n\""},
        {"wfile:" + g + "gpio27/value=1", "wfile -1 EPERM"},
        {"wfile:" + g + "gpio27/direction=sideways", "wfile -1 EINVAL"},
        {"wfile:" + g + "gpio27/direction=high\\n", "wfile 5 OK"},
        {"rfile:" + g + "gpio27/value", "rfile 2 OK \"1\\n\""},
        {"wfile:" + g + "gpio27/direction=out", "wfile 3 OK"},
        {"rfile:" + g + "gpio27/value", "rfile 2 OK \"0\\n\""},
        {"wfile:" + g + "gpio27/value=1", "wfile 1 OK"},
        {"rfile:" + g + "gpio27/value", "rfile 2 OK \"1\\n\""},
        {"wfile:" + g + "gpio27/direction=low", "wfile 3 OK"},
        {"rfile:" + g + "gpio27/value", "rfile 2 OK \"0\\n\""},
        {"wfile:" + g + "unexport=27", "wfile 2 OK"},
        {"rfile:" + g + "gpio27/direction", "rfile -1 ENOENT"},
    };
    std::vector<std::string> args, expected;
    for (const auto &[step, result] : steps) {
        args.push_back(step);
        expected.push_back(result);
    }
    EXPECT_EQ(probe(w, args), expected);

    const auto gpio = w.gpio_events();
    ASSERT_FALSE(gpio.empty());
    EXPECT_EQ(gpio[0].kind, Kind::GpioExport);
    EXPECT_EQ(gpio[0].line, 27);
    EXPECT_EQ(gpio[1].err, EBUSY);
    const auto reads = sim::only(gpio, [](const Event &e) { return e.kind == Kind::GpioValueRead; });
    ASSERT_EQ(reads.size(), 5u);
    EXPECT_EQ(reads[1].text, "1\n");
    EXPECT_FALSE(w.gpio().exported);
}

TEST(SimGpio, EventLineFollowsTheBoardOnAChipWithBase512) {
    sim::Options o;
    o.gpio_base = 512;
    World w(o);
    const std::string g = "/sys/class/gpio/";
    EXPECT_EQ(probe(w, {"wfile:" + g + "export=27", "wfile:" + g + "export=539",
                        "rfile:" + g + "gpiochip512/base", "rfile:" + g + "gpiochip512/label",
                        "rfile:" + g + "gpiochip512/ngpio", "rfile:" + g + "gpio539/value"}),
              (std::vector<std::string>{"wfile -1 EINVAL", "wfile 3 OK", "rfile 4 OK \"512\\n\"",
                                        "rfile 16 OK \"pinctrl-bcm2835\\n\"", "rfile 3 OK \"54\\n\"",
                                        "rfile 2 OK \"0\\n\""}));
    EXPECT_EQ(w.gpio_number(), 539);
    w.board().lose_supply();
    EXPECT_EQ(probe(w, {"rfile:" + g + "gpio539/value"}), (std::vector<std::string>{"rfile 2 OK \"1\\n\""}));

    const double hidden = w.now();
    w.hide_gpio_value(1.0);
    EXPECT_EQ(probe(w, {"rfile:" + g + "gpio539/value"}), (std::vector<std::string>{"rfile -1 ENOENT"}));
    std::this_thread::sleep_for(std::chrono::duration<double>(hidden + 1.05 - w.now()));
    EXPECT_EQ(probe(w, {"rfile:" + g + "gpio539/value"}), (std::vector<std::string>{"rfile 2 OK \"1\\n\""}));
}

TEST(SimGpio, NumbersAndPolarityAsTheKernelTakesThem) {
    World w;
    const std::string g = "/sys/class/gpio/";
    EXPECT_EQ(probe(w, {"wfile:" + g + "export=27 ", "wfile:" + g + "export=-1", "wfile:" + g + "export=0x1b",
                        "wfile:" + g + "gpio27/direction=out", "wfile:" + g + "gpio27/active_low=1",
                        "wfile:" + g + "gpio27/value=1", "rfile:" + g + "gpio27/value",
                        "wfile:" + g + "gpio27/edge=sideways", "wfile:" + g + "gpio27/edge=rising\\n",
                        "rfile:" + g + "gpio27/edge"}),
              (std::vector<std::string>{"wfile -1 EINVAL", "wfile -1 EINVAL", "wfile 4 OK", "wfile 3 OK",
                                        "wfile 1 OK", "wfile 1 OK", "rfile 2 OK \"1\\n\"", "wfile -1 EINVAL",
                                        "wfile -1 EIO", "rfile 5 OK \"none\\n\""}))
        << "an output line gets no interrupt edge";
    const auto line = w.gpio();
    EXPECT_TRUE(line.output);
    EXPECT_TRUE(line.active_low);
    EXPECT_EQ(line.level, 0) << "active low: a written 1 drives the line low";
    EXPECT_EQ(line.edge, "none");
    EXPECT_EQ(probe(w, {"wfile:" + g + "gpio27/direction=in", "rfile:" + g + "gpio27/value",
                        "wfile:" + g + "gpio27/edge=rising\\n"}),
              (std::vector<std::string>{"wfile 2 OK", "rfile 2 OK \"1\\n\"", "wfile 7 OK"}))
        << "an input the board holds low reads 1 when active low";
    EXPECT_EQ(w.gpio().edge, "rising");
}

// sim-probe in the background, for the cases that act while it waits.
gpio_edge::Host world_host(World &w) {
    const std::string dir = w.bin_dir();
    if (!World::exists(dir + "/sim-probe")) std::filesystem::copy_file(SIM_PROBE, dir + "/sim-probe");
    return {[&w, dir](const std::string &arguments) {
                const auto r = sh(w, dir + "/sim-probe " + arguments + " >" + dir + "/probe.out 2>" + dir +
                                         "/probe.err &");
                EXPECT_EQ(r.status, 0) << r.err;
            },
            [dir] { return World::read_file(dir + "/probe.out"); },
            [dir] { return World::read_file(dir + "/probe.err"); },
            [&w](bool high) { w.board().set_line(high); },
            [&w](const std::function<bool()> &condition, double timeout) { return w.wait_for(condition, timeout); }};
}

TEST(SimGpio, EdgeAndPollFollowTheKernel) {
    for (const gpio_edge::Case &c : gpio_edge::cases()) {
        SCOPED_TRACE(c.name);
        World w;
        EXPECT_EQ(gpio_edge::run(world_host(w), w.gpio_number(), c.steps),
                  gpio_edge::expected(c.steps, w.gpio_number()));
    }
}

bool real_root() { return sim::exists_outside("/").has_value(); }

TEST(SimGpio, ExportNeedsRootAsInSysfs) {
    if (!real_root()) GTEST_SKIP() << "in a user namespace a non-root run keeps the owner's rights";
    World w;
    sim::RunOptions user;
    user.as_user = true;
    EXPECT_EQ(probe(w, {"wfile:/sys/class/gpio/export=27"}, user),
              (std::vector<std::string>{"wfile -1 EACCES"}));
    EXPECT_FALSE(w.gpio().exported);
}

// ---------------------------------------------------------------- the system

TEST(SimWorld, ProgramsSeeTheCpuinfoAndModelOfTheTestsChoice) {
    sim::Options o;
    o.device_tree_model = "Raspberry Pi 4 Model B Rev 1.4";
    World w(o);
    auto r = sh(w, "grep -E '^(Hardware|Revision)' /proc/cpuinfo");
    EXPECT_EQ(r.out, "Hardware\t: BCM2835\nRevision\t: a02082\n");
    EXPECT_EQ(sh(w, "cat /proc/device-tree/model").out, std::string("Raspberry Pi 4 Model B Rev 1.4") + '\0');
    w.set_cpuinfo(sim::cpuinfo_with("BCM2708", "0002"));
    EXPECT_EQ(sh(w, "grep -E '^(Hardware|Revision)' /proc/cpuinfo").out, "Hardware\t: BCM2708\nRevision\t: 0002\n");
    w.set_cpuinfo(sim::cpuinfo_pi4_64bit());
    EXPECT_EQ(sh(w, "grep -c '^Hardware' /proc/cpuinfo").out, "0\n");
}

TEST(SimWorld, FilesWrittenInsideStayInside) {
    World w;
    const auto r = sh(w, "echo x > /opt/bexod/bexo.cfg && echo y >> /var/log/bexod.log && "
                         "echo $$ > /var/run/bexod.pid && echo z > /etc/systemd/system/bexod.service && "
                         "echo u > /lib/systemd/system/bexod.service");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(w.config(), "x\n");
    EXPECT_EQ(w.log(), "y\n");
    EXPECT_TRUE(World::exists("/run/bexod.pid")) << "/var/run leads to the world's /run";
    for (const char *path : {"/opt/bexod/bexo.cfg", "/var/log/bexod.log", "/run/bexod.pid",
                             "/etc/systemd/system/bexod.service", "/lib/systemd/system/bexod.service"}) {
        const auto outside = sim::exists_outside(path);
        if (!outside) GTEST_SKIP() << "the namespace outside cannot be entered here";
        EXPECT_FALSE(*outside) << path;
    }
    EXPECT_TRUE(*sim::exists_outside("/etc/hostname")) << "the look outside works";
}

// A stand-in daemon: takes /run/bexod.pid and ends with status 0 on SIGTERM.
const char STAND_IN_DAEMON[] =
    "sh -c 'trap \"sim-mark got-term; exit 0\" TERM; echo $$ > /run/bexod.pid; "
    "while :; do sleep 0.05; done' >/dev/null 2>&1 &";

TEST(SimShims, RecordCallsInOrderAndPoweroffEndsTheDaemonWhenAsked) {
    World w;
    w.sigterm_on_poweroff(true, 0.2);
    ASSERT_EQ(sh(w, STAND_IN_DAEMON).status, 0);
    ASSERT_TRUE(w.wait_for([&] { return w.daemon_pid() > 0; }, 5));
    const pid_t daemon = w.daemon_pid();
    const size_t before = w.event_count();

    auto r = sh(w, "sudo systemctl poweroff");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(w.wait_exit(daemon, 5), 0) << "the stand-in daemon is reparented to the test";

    std::vector<std::string> seen;
    for (const auto &e : w.events())
        if (e.kind == Kind::Shim || e.kind == Kind::Signal) {
            std::string s = e.text;
            for (const auto &a : e.args) s += " " + a;
            seen.push_back(s);
        }
    EXPECT_EQ(seen, (std::vector<std::string>{"sudo systemctl poweroff", "systemctl poweroff", "SIGTERM",
                                              "sim-mark got-term"}));
    const auto signal = w.wait_for_event([](const Event &e) { return e.kind == Kind::Signal; }, 0, before);
    const auto systemctl = w.wait_for_shim("systemctl", 0, "poweroff", before);
    ASSERT_TRUE(signal && systemctl);
    EXPECT_EQ(signal->pid, daemon);
    EXPECT_GE(signal->t - systemctl->t, 0.19);
}

TEST(SimShims, SudoRunsItsCommandAndOtherShimsOnlyRecord) {
    World w;
    World::write_file("/opt/bexod/start/bexod.service", "[Unit]\n");
    w.set_shim_status("systemctl", 3);
    auto r = sh(w, "sudo cp /opt/bexod/start/bexod.service /etc/systemd/system/ && "
                   "sudo chmod +x /etc/systemd/system/bexod.service; "
                   "systemctl enable bexod.service; echo status $?; "
                   "python /opt/bexod/scripts/mail.py; "
                   "/opt/bexod/tools/twiboot -a 0x30 -d /dev/i2c-1 -w flash:fw.hex -n");
    EXPECT_EQ(r.out, "status 3\n");
    EXPECT_EQ(World::read_file("/etc/systemd/system/bexod.service"), "[Unit]\n");
    const auto twiboot = w.shim_calls("twiboot");
    ASSERT_EQ(twiboot.size(), 1u);
    EXPECT_EQ(twiboot[0].args,
              (std::vector<std::string>{"-a", "0x30", "-d", "/dev/i2c-1", "-w", "flash:fw.hex", "-n"}));
    EXPECT_EQ(w.shim_calls("sudo").size(), 2u);
    EXPECT_EQ(w.shim_calls("python").size(), 1u);
    EXPECT_TRUE(w.events().back().kind == Kind::Shim);
    EXPECT_TRUE(sim::only(w.events(), [](const Event &e) { return e.kind == Kind::Signal; }).empty())
        << "no SIGTERM unless the test asks for it";
}

TEST(SimShims, OutsideAWorldTheyComplainAndSudoStillRuns) {
    World w;
    sim::RunOptions lost;
    lost.env = {"BEXO_SIM_SHIM_SOCKET=/nonexistent/shim.sock"};
    const auto mark = w.run({"sim-mark", "x"}, lost);
    EXPECT_EQ(mark.status, 1);
    EXPECT_EQ(mark.err, "sim-mark (sim shim): no world to report to\n");
    const auto sudo = w.run({"sudo", "echo", "hi"}, lost);
    EXPECT_EQ(sudo.out, "hi\n");
    EXPECT_TRUE(w.shim_calls().empty());
}

TEST(SimShims, PoweroffWithoutAPidFileIsNoted) {
    World w;
    w.sigterm_on_poweroff(true, 0);
    EXPECT_EQ(w.run({"systemctl", "reboot"}).status, 0);
    const auto note = w.wait_for_event([](const Event &e) { return e.kind == Kind::Note; }, 5);
    ASSERT_TRUE(note);
    EXPECT_NE(note->text.find("no process id"), std::string::npos);
}

// ---------------------------------------------------------------- processes

TEST(SimProcesses, InputEnvironmentAndMissingPrograms) {
    World w;
    sim::RunOptions o;
    o.input = "to stdin";
    o.env = {"BEXO_TEST_VALUE=42", "PATH=/bin"};
    EXPECT_EQ(w.run({"cat"}, o).out, "to stdin");
    EXPECT_EQ(sh(w, "echo $BEXO_TEST_VALUE $PATH", o).out, "42 /bin\n") << "entries replace the world's";
    EXPECT_EQ(sh(w, "echo $LD_PRELOAD").out, "libumockdev-preload.so.0\n");
    const auto missing = w.run({"no-such-program"});
    EXPECT_EQ(missing.status, 127);
    EXPECT_NE(missing.err.find("cannot run no-such-program"), std::string::npos);
}

TEST(SimWorld, ScheduledActionsRunInTimeOrderAndSignalsAreRecorded) {
    World w;
    w.after(0.2, [&] { w.note("second"); });
    w.after(0.1, [&] { w.note("first"); });
    const auto second = w.wait_for_event([](const Event &e) { return e.text == "second"; }, 5);
    ASSERT_TRUE(second);
    EXPECT_GE(second->t, 0.2);
    const auto notes = sim::only(w.events(), [](const Event &e) { return e.kind == Kind::Note; });
    ASSERT_EQ(notes.size(), 2u);
    EXPECT_EQ(notes[0].text, "first");
    EXPECT_FALSE(w.signal_daemon(SIGTERM)) << "no pid file: nothing to signal";
    sh(w, "sleep 5 >/dev/null 2>&1 & echo $! > /run/bexod.pid");
    EXPECT_TRUE(w.signal_daemon(SIGTERM));
    EXPECT_EQ(w.wait_exit(w.daemon_pid(), 5), 128 + SIGTERM);
    EXPECT_EQ(w.events().back().str().substr(12), "signal SIGTERM to pid " + std::to_string(w.daemon_pid()));
}

TEST(SimWorld, TraceLinesAreReadable) {
    Event bus;
    bus.t = 1.5;
    bus.kind = Kind::Read;
    bus.node = "/dev/i2c-1";
    bus.address = 0x36;
    bus.bytes = {0x22, 0x01};
    Event failed = bus;
    failed.kind = Kind::SmbusByteWrite;
    failed.bytes = {0x44};
    failed.err = EREMOTEIO;
    Event gpio;
    gpio.kind = Kind::GpioDirection;
    gpio.line = 27;
    gpio.text = "out\n";
    Event shim;
    shim.kind = Kind::Shim;
    shim.text = "sudo";
    shim.args = {"systemctl", "poweroff"};
    shim.pid = 12;
    shim.uid = 0;
    EXPECT_EQ(sim::format_trace({bus, failed, gpio, shim}),
              "  1.500000  /dev/i2c-1 0x36 read  22 01\n"
              "  1.500000  /dev/i2c-1 0x36 smbus-write  44  -> EREMOTEIO\n"
              "  0.000000  gpio27 direction \"out\\n\"\n"
              "  0.000000  shim sudo systemctl poweroff  (pid 12, uid 0)\n");
}

TEST(SimProcesses, RunAsUserHasANonZeroUidAndStillReachesTheBoard) {
    World w;
    sim::RunOptions user;
    user.as_user = true;
    const auto id = w.run({"id", "-u"}, user);
    EXPECT_EQ(id.status, 0) << id.err;
    EXPECT_NE(id.out, "0\n");
    EXPECT_EQ(probe(w, {"open:/dev/i2c-1", "bind:0x36", "smbus:0x22", "read:5"}, user).back(),
              "read 5 OK 22,01,0c,00,00");
    sh(w, "sim-mark as-user", user);
    const auto mark = w.shim_calls("sim-mark");
    ASSERT_EQ(mark.size(), 1u);
    EXPECT_NE(mark[0].uid, 0);
}

TEST(SimProcesses, OutputIsCompleteOnlyWhenTheDetachedChildClosesIt) {
    World w;
    // Like the daemon: the parent ends at once, its child writes, then
    // closes 0 to 2 and lives on; it is reparented to the test process.
    const auto r = sh(w, "sh -c 'sleep 0.3; echo from-child; exec >&- 2>&- <&-; sleep 0.3; exit 7' & "
                         "echo $! > /run/bexod.pid; echo from-parent");
    EXPECT_EQ(r.status, 0);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.out, "from-parent\nfrom-child\n");
    EXPECT_GE(r.seconds, 0.3);
    const pid_t child = w.daemon_pid();
    ASSERT_GT(child, 0);
    EXPECT_EQ(w.wait_exit(child, 5), 7);
}

TEST(SimProcesses, TimeOutKillsTheCommandAndTeardownKillsLeftovers) {
    pid_t leftover = 0;
    {
        World w;
        sim::RunOptions quick;
        quick.timeout = 0.3;
        const auto r = w.run({"sleep", "10"}, quick);
        EXPECT_TRUE(r.timed_out);
        EXPECT_EQ(r.status, -1);
        EXPECT_LT(r.seconds, 2);
        sh(w, "sleep 30 >/dev/null 2>&1 & echo $! > /run/bexod.pid");
        leftover = w.daemon_pid();
        ASSERT_GT(leftover, 0);
        EXPECT_EQ(kill(leftover, 0), 0);
    }
    EXPECT_EQ(kill(leftover, 0), -1);
    EXPECT_EQ(errno, ESRCH);
}

TEST(SimProcesses, FaketimeSetsTheClockOfOneRun) {
    World w;
    sim::RunOptions at;
    at.faketime = "@2026-12-08 12:00:50";
    const auto r = w.run({"date", "+%F %T"}, at);
    EXPECT_EQ(r.out.substr(0, 18), "2026-12-08 12:00:5") << r.err;
    EXPECT_EQ(probe(w, {"open:/dev/i2c-1", "bind:0x36", "smbus:0x22", "read:5"}, at).back(),
              "read 5 OK 22,01,0c,00,00")
        << "both preloaded libraries work together";
}

}  // namespace

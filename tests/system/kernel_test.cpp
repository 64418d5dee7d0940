// SPDX-License-Identifier: GPL-2.0-or-later
// The unmodified bexo and bexod of one build in a Linux guest under QEMU,
// against Linux's own i2c-dev, its bus lock on a real character device and
// its GPIO sysfs, with the world's board model behind them (sim/kernel).
// Run by scripts/kernel-test, one guest per build:
//   kernel_test --build arm64|armhf [--label TEXT] -- QEMU COMMAND LINE...
// prints one line per scenario and a last line with the counts.

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <set>

#include "sim/kernel/guest.hpp"
#include "tests/system/daemon_support.hpp"
#include "tests/system/gpio_edge_cases.hpp"
#include "tests/system/tool_support.hpp"

namespace {

using namespace daemon_test;
using sim::Guest;

Guest *guest = nullptr;  // one guest for every scenario of the run
std::string label;       // the build and the kernel, for the figures printed

const char AT_NOON[] = "date -s '2026-12-08 12:00:00' >/dev/null && ";
const char USER_COMMANDS[] = "command1=sim-mark one\ncommand2=\ncommand3=sim-mark three\n";
const std::vector<std::string> USER_COMMAND_CALLS{"sim-mark one", "sim-mark three"};
const std::vector<std::string> START_LOG{"BEXOD:  Activating time controlled boot!",
                                         "BEXOD:  Set GPIO to input", "BEXOD: Entering Daemon BEXO."};
const std::vector<std::string> POWER_OFF_CALLS{"sudo systemctl poweroff", "systemctl poweroff",
                                               "sudo rm -r /var/run/bexod.pid"};

std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string> &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class Kernel : public testing::Test {
protected:
    Guest &w = *guest;
    void SetUp() override {
        w.reset();
        ASSERT_EQ(w.failure(), "");
    }

    // bexod -start at 22:15:00 with the timed boot at 06:00:00 and sleep 1
    // (or `sleep`); the daemon's process id once it watches the line.
    pid_t start(const std::string &general, const std::string &user = USER_COMMANDS, int sleep = 1) {
        w.set_config(config("timed_boot=1\ntime_boot=06:00:00\nsleep=" + std::to_string(sleep) + "\n" + general, user));
        const sim::Result r = w.run("date -s '2026-12-08 22:15:00' >/dev/null && bexod -start");
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "B.EXO Daemon started..\n");
        EXPECT_TRUE(w.wait_for_log("BEXOD: Entering Daemon BEXO.", 10)) << r.err << dump(w);
        const pid_t pid = w.daemon_pid();
        EXPECT_TRUE(w.alive(pid)) << dump(w);
        return w.alive(pid) ? pid : 0;
    }

    // The end a power-off or reboot brings: the system's SIGTERM, then the
    // stop sequence ('C' and the record) and the line left high as an output.
    void expect_stopped_by_the_system(pid_t pid) {
        ASSERT_TRUE(w.wait_for_log("BEXOD: Received SIGTERM signal.", 20)) << dump(w);
        EXPECT_TRUE(w.gone(pid, 10)) << dump(w);
        EXPECT_FALSE(w.exists(PID_FILE));
        const size_t signal = index_of(w, [](const Event &e) { return e.kind == Kind::Signal; });
        const Events after = w.board_writes(signal);
        ASSERT_EQ(after.size(), 2u) << dump(w);
        EXPECT_EQ(text_of(after[0].bytes), "43");
        ASSERT_EQ(after[1].bytes.size(), 10u);
        EXPECT_EQ(text_of(Bytes(after[1].bytes.begin(), after[1].bytes.begin() + 4)), "54 06 00 00");
        const auto line = w.gpio();
        EXPECT_TRUE(line.exported && line.output);
        EXPECT_EQ(line.level, 1);
    }
};

// ------------------------------------------------------------------ bexo

TEST_F(Kernel, StatusBoxMatchesTheGoldenFile) {
    w.set_config(tool_test::DEFAULT_CONFIG);
    const sim::Result r = w.run(std::string(AT_NOON) + "bexo -status");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, tool_test::golden("status_default.txt"));
    EXPECT_EQ(text_of(w.commands()), "22 36 35 d0 23 d2 d1");
    std::vector<size_t> reply_lengths;
    for (const Event &e : reads(w)) reply_lengths.push_back(e.bytes.size());
    EXPECT_EQ(reply_lengths, (std::vector<size_t>{5, 3, 3, 3, 6, 6, 6}));
    EXPECT_EQ(expect_replies_follow_their_requests(w, 0), 7u);
}

TEST_F(Kernel, ChrgpwrAndChgaddSendTheirBytes) {
    w.set_config(tool_test::DEFAULT_CONFIG);
    const sim::Result charge = w.run(std::string(AT_NOON) + "bexo -chrgpwr 300");
    EXPECT_EQ(charge.status, 0) << charge.err;
    EXPECT_EQ(charge.out, tool_test::boxed("* Charging current: 300 mA     *\n"));
    EXPECT_EQ(w.requests(), (std::vector<Bytes>{{0x22}, {0x37, 0x02}}));
    EXPECT_EQ(w.board().charge_code(), 2);

    const size_t before = w.event_count();
    const sim::Result move = w.run(std::string(AT_NOON) + "bexo -chgadd 0x5a");
    EXPECT_EQ(move.status, 0) << move.err;
    EXPECT_EQ(move.out, tool_test::boxed("* I2C-Address set to: 0x5a     *\n" +
                                         std::string(tool_test::RESTART_LINES)));
    EXPECT_EQ(w.requests(before), (std::vector<Bytes>{{0x22}, {0x41, 0x5a}}));
    EXPECT_EQ(w.board().address(), 0x5a);
    EXPECT_EQ(w.read_file(tool_test::CONFIG_PATH), "[General]\naddress=0x5a\n");

    // The next run finds the board at its new address.
    const size_t moved = w.event_count();
    EXPECT_EQ(w.bexo({"-vin", "0"}).out, "5.10\n");
    const Events bus = since(w, moved, sim::is_bus);
    ASSERT_EQ(bus.size(), 2u) << dump(w);
    for (const Event &e : bus) EXPECT_EQ(e.address, 0x5a) << e.str();
}

// ----------------------------------------------------------------- bexod

TEST_F(Kernel, StartAnnouncesItselfAndClaimsLine27AtTheChipsBase) {
    const pid_t pid = start("timer=-1\n", "");
    ASSERT_GT(pid, 0);
    const Events writes = w.board_writes();
    ASSERT_EQ(writes.size(), 3u) << dump(w);
    EXPECT_EQ(text_of(writes[0].bytes), "44");
    EXPECT_EQ(text_of(writes[1].bytes), "53");
    EXPECT_EQ(writes[2].bytes, time_record(6, 0, 0, 0, 0, 0));
    EXPECT_EQ(messages(w), START_LOG);

    // The kernel numbers the chip's lines from a base of its choosing.
    const int base = w.gpio_base();
    ASSERT_GT(base, 0);
    const auto line = w.gpio();
    EXPECT_TRUE(line.exported) << "gpio" << base + 27 << " is not exported";
    EXPECT_FALSE(line.output);
    EXPECT_EQ(line.level, 0);
    EXPECT_FALSE(w.exists("/sys/class/gpio/gpio27"));
    // It watches the line and leaves the bus alone while nothing happens.
    w.run("sleep 2");
    EXPECT_TRUE(w.alive(pid));
    EXPECT_EQ(w.board_writes().size(), 3u) << dump(w);
}

TEST_F(Kernel, SupplyLossCountsDownToThePowerOffAndTheStopSequence) {
    const pid_t pid = start("timer=2\n");
    ASSERT_GT(pid, 0);
    const size_t started = w.event_count();
    w.board().lose_supply();
    expect_stopped_by_the_system(pid);
    EXPECT_EQ(messages(w), (START_LOG + std::vector<std::string>{
                                            "BEXOD:  Set GPIO to output", "BEXOD:  Voltage loss!",
                                            "BEXOD:  Received Shutdown Signal through timer expired.",
                                            "BEXOD:  Set GPIO to output", "BEXOD: Received SIGTERM signal."}));
    EXPECT_EQ(shim_calls(w, started), USER_COMMAND_CALLS + POWER_OFF_CALLS) << dump(w);
    EXPECT_EQ(text_of(w.commands(started)), "43 33 33 21 45 33 21 49 54 43 54") << dump(w);
    // 'I' comes once more than `timer` seconds were counted after the
    // answered button query.
    const Events writes = w.board_writes(started);
    const Event &power_off = writes.at(writes.size() - 4);
    const Event answered = reads(w, started).at(0);
    EXPECT_GE(gap(answered, power_off), 3 - 0.1);
    EXPECT_LE(gap(answered, power_off), 2 + 5.0);
}

struct ButtonCase {
    const char *name;
    int button;
    const char *message;
    std::vector<std::string> calls;
    const char *commands;
};

class KernelButton : public Kernel, public testing::WithParamInterface<ButtonCase> {};

TEST_P(KernelButton, PowersOffOrRebootsWhileWaiting) {
    const ButtonCase &c = GetParam();
    const pid_t pid = start("timer=5\n");
    ASSERT_GT(pid, 0);
    const size_t started = w.event_count();
    w.board().press_button(c.button);
    expect_stopped_by_the_system(pid);
    EXPECT_EQ(messages(w), (START_LOG + std::vector<std::string>{"BEXOD:  Set GPIO to output", c.message,
                                                                 "BEXOD:  Set GPIO to output",
                                                                 "BEXOD: Received SIGTERM signal."}));
    EXPECT_EQ(shim_calls(w, started), c.calls) << dump(w);
    EXPECT_EQ(text_of(w.commands(started)), c.commands) << dump(w);
}

INSTANTIATE_TEST_SUITE_P(
    Buttons, KernelButton,
    testing::Values(ButtonCase{"Shutdown", 1, "BEXOD:  Received manual Shutdown signal!",
                               USER_COMMAND_CALLS + POWER_OFF_CALLS, "43 33 54 43 54"},
                    ButtonCase{"Reboot", 2, "BEXOD:  Received manual Reboot signal!",
                               {"sudo systemctl reboot", "systemctl reboot", "sudo rm -r /var/run/bexod.pid"},
                               "43 33 43 54"}),
    [](const testing::TestParamInfo<ButtonCase> &info) { return info.param.name; });

// The kernel reports the board's NACK as EREMOTEIO, as the Pi's driver does;
// the daemon asks again.
TEST_F(Kernel, FailedReadIsRetried) {
    const pid_t pid = start("timer=-1\n", "");
    ASSERT_GT(pid, 0);
    w.board().fail_reads(1);
    w.board().lose_supply();
    ASSERT_TRUE(w.wait_for_log("BEXOD:  Voltage loss!", 15)) << dump(w);
    const Events failed = since(w, 0, [](const Event &e) { return e.kind == Kind::Read && !e.ok(); });
    ASSERT_EQ(failed.size(), 1u) << dump(w);
    EXPECT_EQ(failed[0].err, EREMOTEIO);
    const size_t answered = index_of(w, [](const Event &e) { return e.kind == Kind::Read && e.ok(); });
    const Events all = w.events();
    Bytes asked;
    for (size_t i = 0; i < answered; i++)
        if (sim::is_board_write(all[i])) asked.push_back(all[i].bytes[0]);
    EXPECT_EQ(text_of(asked), "44 53 54 43 33 33") << dump(w);
    EXPECT_TRUE(w.alive(pid));
}

// bexo -status in a loop while the daemon counts down: the lock on the real
// /dev/i2c-1 keeps every request and its reply together.
TEST_F(Kernel, StatusLoopDuringTheCountdownSharesTheBus) {
    const pid_t pid = start("timer=-1\n", "");
    ASSERT_GT(pid, 0);
    w.board().lose_supply();
    ASSERT_TRUE(w.wait_for_log("BEXOD:  Voltage loss!", 15)) << dump(w);
    const size_t from = w.event_count();
    const sim::Result r = w.run(
        "end=$(($(cut -d. -f1 /proc/uptime) + 10))\n"
        "while [ \"$(cut -d. -f1 /proc/uptime)\" -lt \"$end\" ]; do bexo -status >/dev/null || exit 9; done");
    EXPECT_EQ(r.status, 0) << "a -status run failed: " << r.err;
    EXPECT_GT(expect_replies_follow_their_requests(w, from), 12u);
    expect_boxes_beside_the_countdown(w, from);
    std::set<int> users;
    for (const Event &e : since(w, from, sim::is_bus)) users.insert(e.pid);
    EXPECT_TRUE(users.count(pid)) << "the daemon went on querying";
    EXPECT_GE(users.size(), 3u);
}

// --------------------------------------------------------- GPIO and bus

// sim-probe in the background in the guest, for the cases that act while
// it waits; a change of the board's line counts once the guest has it.
gpio_edge::Host guest_host(Guest &w) {
    return {[&w](const std::string &arguments) {
                const sim::Result r = w.run("cd /tmp && sim-probe " + arguments + " >probe.out 2>probe.err &");
                EXPECT_EQ(r.status, 0) << r.err;
            },
            [&w] { return w.read_file("/tmp/probe.out"); }, [&w] { return w.read_file("/tmp/probe.err"); },
            [&w](bool high) {
                w.board().set_line(high);
                const std::string level = high ? "line 1" : "line 0";
                EXPECT_TRUE(w.wait_for([&] {
                    const Events notes = since(w, 0, [](const Event &e) { return e.kind == Kind::Note; });
                    return !notes.empty() && notes.back().text == level;
                }, 10)) << "the guest did not get " << level;
            },
            [&w](const std::function<bool()> &condition, double timeout) { return w.wait_for(condition, timeout); }};
}

TEST_F(Kernel, EdgeAndPollFollowTheWorldsTable) {
    const int line = w.gpio_base() + 27;
    bool first = true;
    for (const gpio_edge::Case &c : gpio_edge::cases()) {
        SCOPED_TRACE(c.name);
        if (!first) w.reset();
        first = false;
        EXPECT_EQ(gpio_edge::run(guest_host(w), line, c.steps), gpio_edge::expected(c.steps, line));
    }
}

// The Pi's own i2c-bcm2835 waits for a transfer as long as the adapter's
// timeout (one second unless changed) and then reports ETIMEDOUT.
TEST_F(Kernel, AnUnansweredTransferEndsAfterTheAdaptersTimeout) {
    w.set_answering(false);
    const sim::Result silent = w.run("sim-probe open:/dev/i2c-1 bind:0x36 smbus:0x22 write:22");
    EXPECT_EQ(silent.out, "open 0 OK\nbind 0 OK\nsmbus -1 ETIMEDOUT\nwrite -1 ETIMEDOUT\n") << silent.err;
    EXPECT_GE(silent.seconds, 2 - 0.05);
    EXPECT_LT(silent.seconds, 4.5) << "two transfers, one second each";
    w.set_answering(true);
    EXPECT_EQ(w.run("sim-probe open:/dev/i2c-1 bind:0x36 smbus:0x22 read:5").out,
              "open 0 OK\nbind 0 OK\nsmbus 0 OK\nread 5 OK 22,01,0c,00,00\n");
}

struct ChipCase {
    const char *model;
    const char *label;
    int lines;
};

class KernelChip : public Kernel, public testing::WithParamInterface<ChipCase> {};

// bexod finds line 27 on the chip of a Pi 4 or a Pi 5 by its "pinctrl-"
// label, at the base the kernel gave it, and watches it.
TEST_P(KernelChip, StartClaimsLine27OfThePisOwnChip) {
    const ChipCase &c = GetParam();
    ASSERT_TRUE(w.set_chip(c.model));
    const int base = w.gpio_base();
    ASSERT_GT(base, 0);
    const std::string chip = "/sys/class/gpio/gpiochip" + std::to_string(base);
    EXPECT_EQ(w.run("cat " + chip + "/label " + chip + "/ngpio").out,
              std::string(c.label) + "\n" + std::to_string(c.lines) + "\n");
    const pid_t pid = start("timer=-1\n", "");
    ASSERT_GT(pid, 0);
    const auto line = w.gpio();
    EXPECT_TRUE(line.exported && !line.output) << "gpio" << base + 27 << " is not an input";
    w.board().lose_supply();
    ASSERT_TRUE(w.wait_for_log("BEXOD:  Voltage loss!", 15)) << dump(w);
    EXPECT_TRUE(w.gpio().output) << "the daemon took gpio" << base + 27 << " over";
}

INSTANTIATE_TEST_SUITE_P(Chips, KernelChip,
                         testing::Values(ChipCase{"bcm2711", "pinctrl-bcm2711", 58},
                                         ChipCase{"rp1", "pinctrl-rp1", 54}),
                         [](const testing::TestParamInfo<ChipCase> &info) { return info.param.model; });

struct EdgeCase {
    const char *name;
    const char *edge;  // the module's line interrupt: works or missing
    int sleep;
    int idle_seconds;  // the window for the context switches, or none
    int rises;
};

class KernelEdge : public Kernel, public testing::WithParamInterface<EdgeCase> {};

// Printed rather than judged (emulation on shared cores): bexod's voluntary
// context switches per second while idle, beside NUT's upsmon at POLLFREQ 5
// (0.4 a second in bench/results), and how soon 'C' follows the board's
// rise (without the interrupt, the rises spread over the pause).
TEST_P(KernelEdge, RiseToTakeOverAndIdleCost) {
    const EdgeCase &c = GetParam();
    ASSERT_TRUE(w.set_edge(c.edge));
    const pid_t pid = start("timer=-1\n", "", c.sleep);
    ASSERT_GT(pid, 0);
    const std::string sample = "sed -n 's/^voluntary_ctxt_switches:\\s*//p' /proc/" + std::to_string(pid) +
                               "/status; cut -d' ' -f1 /proc/uptime";
    const std::vector<std::string> idle = lines(w.run(sample + "; sleep " + std::to_string(c.idle_seconds) + "; " + sample).out);
    ASSERT_EQ(idle.size(), 4u) << "no /proc/" << pid << "/status";
    const bool edge = std::string(c.edge) == "works";
    std::vector<double> ms;
    for (int i = 0; i < c.rises; i++) {
        w.run("sleep " + std::to_string(edge ? 0.2 : (i + 0.5) * c.sleep / c.rises));
        const size_t from = w.event_count();
        w.board().lose_supply();
        ASSERT_TRUE(w.wait_for_log("BEXOD:  Voltage loss!", c.sleep + 10)) << dump(w);
        const size_t rose = index_of(w, [](const Event &e) { return e.kind == Kind::Note && e.text == "line 1"; }, from);
        const Events taken = w.board_writes(rose);
        ASSERT_FALSE(taken.empty()) << dump(w);
        EXPECT_EQ(text_of(taken[0].bytes), "43");
        ms.push_back((taken[0].t - w.events().at(rose).t) * 1000);
        w.board().restore_supply();
        ASSERT_TRUE(w.wait_for_log("BEXOD:  Voltage present!", 15)) << dump(w);
        w.run("rm /var/log/bexod.log");
    }
    EXPECT_TRUE(w.alive(pid));
    std::sort(ms.begin(), ms.end());
    printf("%s: edge %s, sleep=%d:", label.c_str(), c.edge, c.sleep);
    if (c.idle_seconds > 0)
        printf(" %.2f voluntary context switches/s idle over %d s (NUT upsmon at POLLFREQ 5: 0.4/s);",
               (std::stod(idle[2]) - std::stod(idle[0])) / (std::stod(idle[3]) - std::stod(idle[1])), c.idle_seconds);
    if (!ms.empty())
        printf(" line rise to 'C' %.2f ms (median of %zu, %.2f to %.2f ms)", ms[ms.size() / 2], ms.size(), ms.front(), ms.back());
    printf("\n");
}

INSTANTIATE_TEST_SUITE_P(Edges, KernelEdge,
                         testing::Values(EdgeCase{"EdgeAtSleep5", "works", 5, 10, 3},
                                         EdgeCase{"NoEdgeFileAtSleep5", "missing", 5, 10, 2},
                                         EdgeCase{"EdgeAtSleep1", "works", 1, 6, 0}),
                         [](const testing::TestParamInfo<EdgeCase> &info) { return info.param.name; });

std::map<std::string, std::string> nut_fields(const Guest &w) {
    std::map<std::string, std::string> out;
    for (const std::string &line : lines(w.read_file("/run/bexod/bexo.dev"))) {
        const size_t colon = line.find(": ");
        if (colon != std::string::npos) out[line.substr(0, colon)] = line.substr(colon + 2);
    }
    return out;
}

TEST_F(Kernel, NutExportFollowsASupplyLoss) {
    const pid_t pid = start("timer=60\n[NUT]\nexport=1\ninterval=2\n", "");
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(w.wait_for([&] { return nut_fields(w)["ups.status"] == "OL CHRG"; }, 10)) << dump(w);
    EXPECT_EQ(nut_fields(w)["battery.voltage"], "4.08");
    w.board().lose_supply();
    ASSERT_TRUE(w.wait_for([&] { return nut_fields(w)["ups.status"] == "OB DISCHRG"; }, 10)) << dump(w);
    ASSERT_TRUE(w.wait_for([&] { return nut_fields(w)["ups.timer.shutdown"] != "-1"; }, 10)) << dump(w);
    const auto fields = nut_fields(w);
    const int left = std::stoi(fields.at("ups.timer.shutdown"));
    EXPECT_GT(left, 50);
    EXPECT_LE(left, 60);
    EXPECT_EQ(fields.at("battery.charger.status"), "discharging");
}

// One line per scenario, its failures below it.
class OneLinePerScenario : public testing::EmptyTestEventListener {
public:
    explicit OneLinePerScenario(std::string label) : label_(std::move(label)) {}

private:
    void OnTestPartResult(const testing::TestPartResult &r) override {
        if (r.failed())
            details_ += "    " + std::string(r.file_name() ? r.file_name() : "?") + ":" +
                        std::to_string(r.line_number()) + ": " + r.message() + "\n";
    }
    void OnTestEnd(const testing::TestInfo &t) override {
        const bool passed = t.result()->Passed();
        (passed ? passed_ : failed_)++;
        printf("%s: %s.%s %s (%.1f s)\n%s", label_.c_str(), t.test_suite_name(), t.name(),
               passed ? "passed" : "FAILED", static_cast<double>(t.result()->elapsed_time()) / 1000,
               details_.c_str());
        details_.clear();
        fflush(stdout);
    }
    void OnTestProgramEnd(const testing::UnitTest &u) override {
        printf("%s: %d passed, %d failed (%.0f s)\n", label_.c_str(), passed_, failed_,
               static_cast<double>(u.elapsed_time()) / 1000);
    }
    std::string label_;
    std::string details_;
    int passed_ = 0;
    int failed_ = 0;
};

}  // namespace

int main(int argc, char **argv) {
    testing::InitGoogleTest(&argc, argv);
    std::string build;
    std::vector<std::string> qemu;
    for (int i = 1; i < argc; i++) {
        if (!strcmp(argv[i], "--build") && i + 1 < argc) {
            build = argv[++i];
        } else if (!strcmp(argv[i], "--label") && i + 1 < argc) {
            label = argv[++i];
        } else if (!strcmp(argv[i], "--")) {
            qemu.assign(argv + i + 1, argv + argc);
            break;
        }
    }
    if (build.empty() || qemu.empty()) {
        fprintf(stderr, "Usage: %s --build arm64|armhf [--label TEXT] -- QEMU COMMAND...\n", argv[0]);
        return 2;
    }
    if (label.empty()) label = build;
    Guest g(qemu, build);
    if (!g.failure().empty()) {
        printf("%s: the guest did not start: %s\n%s: 0 passed, 1 failed\n", label.c_str(),
               g.failure().c_str(), label.c_str());
        return 1;
    }
    guest = &g;
    testing::TestEventListeners &listeners = testing::UnitTest::GetInstance()->listeners();
    delete listeners.Release(listeners.default_result_printer());
    listeners.Append(new OneLinePerScenario(label));
    return RUN_ALL_TESTS();
}

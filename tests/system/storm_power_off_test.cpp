// SPDX-License-Identifier: GPL-2.0-or-later
// bexod after it has asked the system to power off or reboot: the system's
// SIGTERM may come many cycles later, and until then nothing may start a
// second power-off. A request the system refused leaves it monitoring.

#include "tests/system/storm_support.hpp"

namespace {

using namespace storm_test;

const char USER_COMMANDS[] = "command1=sim-mark one\ncommand3=sim-mark three\n";
const std::vector<std::string> USER_CALLS{"sim-mark one", "sim-mark three"};

std::vector<std::string> start_log() {
    return {"BEXOD:  Activating time controlled boot!", "BEXOD:  Set GPIO to input",
            "BEXOD: Entering Daemon BEXO."};
}

std::vector<std::string> with(std::vector<std::string> a, const std::vector<std::string> &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

pid_t start(World &w, const std::string &general) {
    w.set_config(config("timed_boot=1\ntime_boot=06:00:00\nsleep=1\n" + general, USER_COMMANDS));
    return start_daemon(w);
}

struct EventCase {
    const char *name;
    const char *general;
    void (*cause)(sim::Board &);
    const char *request;  // the systemctl verb
    std::vector<std::string> log;  // after the start, up to the request
};

void PrintTo(const EventCase &c, std::ostream *os) { *os << c.name; }

class StormAcceptedRequest : public testing::TestWithParam<EventCase> {};

// The system's SIGTERM comes five seconds (five cycles) after the request.
TEST_P(StormAcceptedRequest, LateSigtermFindsTheDaemonOnlyWaiting) {
    const EventCase &c = GetParam();
    World w;
    w.sigterm_on_poweroff(true, 5.0);
    const pid_t pid = start(w, c.general);
    ASSERT_GT(pid, 0);
    c.cause(w.board());
    const auto request = w.wait_for_shim("systemctl", 30, c.request);
    ASSERT_TRUE(request) << dump(w);
    ASSERT_TRUE(w.wait_for_log("BEXOD: Received SIGTERM signal.", 30)) << dump(w);
    EXPECT_EQ(w.wait_exit(pid, 10), 0) << dump(w);
    EXPECT_FALSE(World::exists(PID_FILE));

    // After the request only the SIGTERM's stop sequence: no cycle read the
    // line, nothing else reached the board, nothing else ran. (The world
    // records its signal once kill() has returned, so the sequence may come
    // first in the record.)
    const size_t asked = index_of(w, [&](const Event &e) {
        return e.kind == Kind::Shim && e.text == "systemctl" && e.t == request->t;
    });
    EXPECT_EQ(gpio_operations(w, asked, true), (std::vector<std::string>{"direction out", "value-write 1"}));
    EXPECT_EQ(text_of(w.commands(asked)), "43 54");
    EXPECT_EQ(shim_calls(w, asked + 1), (std::vector<std::string>{"sudo rm -r /var/run/bexod.pid"}));
    const size_t stopping = index_of(w, [](const Event &e) { return sim::is_gpio(e) || e.kind == Kind::Signal; }, asked);
    const Events all = w.events();
    ASSERT_LT(stopping, all.size()) << dump(w);
    EXPECT_GE(gap(*request, all[stopping]), 4.5) << dump(w);

    EXPECT_EQ(well_formed_log(w),
              with(with(start_log(), c.log),
                   {"BEXOD:  Set GPIO to output", "BEXOD: Received SIGTERM signal."}));
    const PowerOffs done = check_power_offs(w, std::string(c.request) == "poweroff" ? USER_CALLS
                                                                                   : std::vector<std::string>{});
    EXPECT_EQ(done.power_offs + done.reboots, 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Events, StormAcceptedRequest,
    testing::Values(
        EventCase{"CountdownExpiry", "timer=1\n", [](sim::Board &b) { b.lose_supply(); }, "poweroff",
                  {"BEXOD:  Set GPIO to output", "BEXOD:  Voltage loss!",
                   "BEXOD:  Received Shutdown Signal through timer expired."}},
        EventCase{"LowBattery", "timer=-1\n",
                  [](sim::Board &b) {
                      b.set_battery_low(true);
                      b.lose_supply();
                  },
                  "poweroff",
                  {"BEXOD:  Set GPIO to output", "BEXOD:  Voltage loss!",
                   "BEXOD: Received Shutdown signal through low battery capacity."}},
        EventCase{"ShutdownButton", "timer=1\n", [](sim::Board &b) { b.press_button(1); }, "poweroff",
                  {"BEXOD:  Set GPIO to output", "BEXOD:  Received manual Shutdown signal!"}},
        EventCase{"RebootButton", "timer=1\n", [](sim::Board &b) { b.press_button(2); }, "reboot",
                  {"BEXOD:  Set GPIO to output", "BEXOD:  Received manual Reboot signal!"}}),
    [](const testing::TestParamInfo<EventCase> &info) { return info.param.name; });

// A power-off the system accepted but never carried out (a cancelled
// shutdown job): after its bounded wait the daemon watches again, finds the
// line it still drives high and acts on what the board reports now, a low
// battery that came meanwhile.
TEST(StormAcceptedRequest, ShutdownThatNeverComesIsFollowedUpAfterTheWait) {
    World w;
    // The three minutes of waiting pass ten times faster (the countdown's
    // interval timer does not).
    sim::RunOptions fast;
    fast.faketime = "+0 x10";
    w.set_config(config("timed_boot=1\ntime_boot=06:00:00\nsleep=1\ntimer=1\n", USER_COMMANDS));
    const pid_t pid = start_daemon(w, fast);
    ASSERT_GT(pid, 0);
    w.board().lose_supply();
    const auto accepted = w.wait_for_shim("systemctl", 30, "poweroff");
    ASSERT_TRUE(accepted) << dump(w);
    w.board().set_battery_low(true);
    const std::string resumed = "BEXOD:  The system did not go down; watching the board again";
    ASSERT_TRUE(w.wait_for_log(resumed, 40)) << dump(w);
    EXPECT_GE(w.now() - accepted->t, 16.0) << "180 s at ten times the speed";
    ASSERT_TRUE(w.wait_for([&] { return shim_calls(w, 0, "systemctl").size() >= 2; }, 30)) << dump(w);
    expect_orderly_end(w, pid);

    const std::vector<std::string> expiry{"BEXOD:  Set GPIO to output", "BEXOD:  Voltage loss!",
                                          "BEXOD:  Received Shutdown Signal through timer expired."};
    const std::vector<std::string> low{"BEXOD:  Set GPIO to output", "BEXOD:  Voltage loss!",
                                       "BEXOD: Received Shutdown signal through low battery capacity."};
    EXPECT_EQ(well_formed_log(w),
              with(with(with(with(start_log(), expiry), {resumed}), low),
                   {"BEXOD:  Set GPIO to output", "BEXOD: Received SIGTERM signal."}));
    // Nothing went to the board while it waited.
    const size_t asked = index_of(w, [&](const Event &e) { return e.kind == Kind::Shim && e.t == accepted->t; });
    const Bytes after = w.commands(asked);
    ASSERT_FALSE(after.empty());
    EXPECT_EQ(after[0], 0x43) << "the next thing sent is the take-over after the wait";
    EXPECT_EQ(check_power_offs(w, USER_CALLS).power_offs, 2u);
}

// A Pi whose power-off failed is still watched: the line the daemon drives
// high brings the next cycle back to the event, and the next expiry powers
// off again, with the user commands and 'I' once more.
TEST(StormFailedRequest, FailedPowerOffKeepsMonitoringAndPowersOffAgainOnTheNextExpiry) {
    World w;
    w.set_shim_status("systemctl", 1);
    const pid_t pid = start(w, "timer=1\n");
    ASSERT_GT(pid, 0);
    w.board().lose_supply();
    ASSERT_TRUE(w.wait_for([&] { return shim_calls(w, 0, "systemctl").size() >= 2; }, 60)) << dump(w);
    expect_orderly_end(w, pid);

    const std::vector<std::string> log = well_formed_log(w);
    const std::vector<std::string> one_expiry{"BEXOD:  Set GPIO to output", "BEXOD:  Voltage loss!",
                                              "BEXOD:  Received Shutdown Signal through timer expired."};
    ASSERT_GE(log.size(), 3 + 2 * one_expiry.size());
    EXPECT_EQ(std::vector<std::string>(log.begin(), log.begin() + 9),
              with(with(start_log(), one_expiry), one_expiry));
    const PowerOffs done = check_power_offs(w, USER_CALLS);
    EXPECT_GE(done.power_offs, 2u);
}

// A refused reboot: the next cycle asks the board again (which has nothing
// more to report, so it reads as a supply loss until 'E' finds the supply),
// hands the line back, and a later shutdown button powers off once.
TEST(StormFailedRequest, FailedRebootLeavesTheDaemonWatching) {
    World w;
    w.set_shim_status("systemctl", 1);
    const pid_t pid = start(w, "timer=-1\n");
    ASSERT_GT(pid, 0);
    w.board().press_button(2);
    ASSERT_TRUE(w.wait_for_log("BEXOD:  Voltage present!", 30)) << dump(w);
    w.set_shim_status("systemctl", 0);
    w.sigterm_on_poweroff(true, 3.0);
    w.board().press_button(1);
    ASSERT_TRUE(w.wait_for_log("BEXOD: Received SIGTERM signal.", 30)) << dump(w);
    EXPECT_EQ(w.wait_exit(pid, 10), 0) << dump(w);

    EXPECT_EQ(well_formed_log(w),
              with(start_log(), {"BEXOD:  Set GPIO to output", "BEXOD:  Received manual Reboot signal!",
                                 "BEXOD:  Set GPIO to output", "BEXOD:  Voltage loss!",
                                 "BEXOD:  Set GPIO to input", "BEXOD:  Voltage present!",
                                 "BEXOD:  Set GPIO to output", "BEXOD:  Received manual Shutdown signal!",
                                 "BEXOD:  Set GPIO to output", "BEXOD: Received SIGTERM signal."}));
    const PowerOffs done = check_power_offs(w, USER_CALLS);
    EXPECT_EQ(done.reboots, 1u);
    EXPECT_EQ(done.power_offs, 1u);
}

}  // namespace

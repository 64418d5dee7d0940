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

// A power-off or reboot the system accepted but never carried out (a
// cancelled shutdown job): after its bounded wait the daemon tells the board
// it watches again ('D'), hands the line back and watches as after a start.
// Its own high line is no new event: a supply that is there brings no
// "Voltage loss!", no mail and no power-off; a supply still lost keeps the
// board's line high, and a low battery then powers off.
struct NeverCameCase {
    const char *name;
    const char *general;
    void (*cause)(sim::Board &);
    const char *request;
    std::vector<std::string> log;  // after the start, up to the request
    enum { SUPPLY_STAYS_LOST, NOTHING_CHANGES, SUPPLY_RETURNS } meanwhile;
};

void PrintTo(const NeverCameCase &c, std::ostream *os) { *os << c.name; }

class StormRequestNeverCarriedOut : public testing::TestWithParam<NeverCameCase> {};

TEST_P(StormRequestNeverCarriedOut, TheDaemonWatchesAgainAfterTheWait) {
    const NeverCameCase &c = GetParam();
    World w;
    // The three minutes of waiting pass ten times faster (the countdown's
    // interval timer does not).
    sim::RunOptions fast;
    fast.faketime = "+0 x10";
    w.set_config(config(std::string("timed_boot=1\ntime_boot=06:00:00\nsleep=1\nmail=1\n") + c.general,
                        USER_COMMANDS));
    const pid_t pid = start_daemon(w, fast);
    ASSERT_GT(pid, 0);
    c.cause(w.board());
    const auto accepted = w.wait_for_shim("systemctl", 30, c.request);
    ASSERT_TRUE(accepted) << dump(w);
    if (c.meanwhile == NeverCameCase::SUPPLY_STAYS_LOST) w.board().set_battery_low(true);
    if (c.meanwhile == NeverCameCase::SUPPLY_RETURNS) w.board().restore_supply();
    const std::string resumed = "BEXOD:  The system did not go down; watching the board again";
    ASSERT_TRUE(w.wait_for_log(resumed, 40)) << dump(w);
    EXPECT_GE(w.now() - accepted->t, 16.0) << "180 s at ten times the speed";
    if (c.meanwhile != NeverCameCase::SUPPLY_STAYS_LOST) {
        // The line handed back, cycles read it low and do nothing else.
        const auto line_in = [](const Event &e) {
            return e.kind == Kind::GpioDirection && e.text.rfind("in", 0) == 0;
        };
        const size_t waited = index_of(w, [&](const Event &e) { return e.t > accepted->t; });
        ASSERT_TRUE(w.wait_for_event(line_in, 10, waited)) << dump(w);
        const size_t back = index_of(w, line_in, waited) + 1;
        ASSERT_TRUE(w.wait_for([&] { return gpio_operations(w, back, true).size() >= 5; }, 10)) << dump(w);
        EXPECT_EQ(gpio_operations(w, back, true), std::vector<std::string>(5, "value-read 0")) << dump(w);
        EXPECT_FALSE(w.gpio().output);
        // NUT is told what a fresh reading says: the forced shutdown is over.
        if (std::string(c.general).find("export=1") != std::string::npos) {
            EXPECT_NE(World::read_file("/run/bexod/bexo.dev").find("ups.status: OL"), std::string::npos)
                << World::read_file("/run/bexod/bexo.dev");
        }
        w.board().set_battery_low(true);
        w.board().lose_supply();
    }
    ASSERT_TRUE(w.wait_for([&] { return shim_calls(w, 0, "systemctl").size() >= 2; }, 30)) << dump(w);
    expect_orderly_end(w, pid);

    const std::vector<std::string> low{"BEXOD:  Set GPIO to output", "BEXOD:  Voltage loss!",
                                       "BEXOD:  Sending Mail notification!",
                                       "BEXOD: Received Shutdown signal through low battery capacity."};
    const std::vector<std::string> log = well_formed_log(w);
    EXPECT_EQ(log, with(with(with(with(start_log(), c.log), {resumed, "BEXOD:  Set GPIO to input"}), low),
                        {"BEXOD:  Set GPIO to output", "BEXOD: Received SIGTERM signal."}));
    // Nothing went to the board while it waited; then 'D', and 'C' only for
    // the event the board raised.
    const size_t asked = index_of(w, [&](const Event &e) { return e.kind == Kind::Shim && e.t == accepted->t; });
    // (Readings for NUT go on meanwhile.)
    Bytes after;
    for (uint8_t command : w.commands(asked)) {
        if (!std::set<uint8_t>{0x22, 0x36, 0x35, 0xD0, 0x23, 0xD2, 0xD1}.count(command)) after.push_back(command);
    }
    ASSERT_GE(after.size(), 2u);
    EXPECT_EQ(text_of(Bytes(after.begin(), after.begin() + 2)), "44 43") << dump(w);
    EXPECT_EQ(shim_calls(w, 0, "python").size(), count(log, "BEXOD:  Voltage loss!")) << "one mail per loss";
    const PowerOffs done = check_power_offs(w, USER_CALLS);
    EXPECT_EQ(done.power_offs + done.reboots, 2u);
}

INSTANTIATE_TEST_SUITE_P(
    Events, StormRequestNeverCarriedOut,
    testing::Values(
        NeverCameCase{"PowerOffWhileTheSupplyStaysLost", "timer=1\n", [](sim::Board &b) { b.lose_supply(); },
                      "poweroff",
                      {"BEXOD:  Set GPIO to output", "BEXOD:  Voltage loss!",
                       "BEXOD:  Sending Mail notification!",
                       "BEXOD:  Received Shutdown Signal through timer expired."},
                      NeverCameCase::SUPPLY_STAYS_LOST},
        NeverCameCase{"PowerOffWhileTheSupplyReturnsWithNutExport", "timer=1\n[NUT]\nexport=1\n",
                      [](sim::Board &b) { b.lose_supply(); }, "poweroff",
                      {"BEXOD:  Set GPIO to output", "BEXOD:  Voltage loss!",
                       "BEXOD:  Sending Mail notification!",
                       "BEXOD:  Received Shutdown Signal through timer expired."},
                      NeverCameCase::SUPPLY_RETURNS},
        NeverCameCase{"RebootWithTheSupplyPresent", "timer=1\n", [](sim::Board &b) { b.press_button(2); },
                      "reboot", {"BEXOD:  Set GPIO to output", "BEXOD:  Received manual Reboot signal!"},
                      NeverCameCase::NOTHING_CHANGES}),
    [](const testing::TestParamInfo<NeverCameCase> &info) { return info.param.name; });

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

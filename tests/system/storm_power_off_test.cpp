// SPDX-License-Identifier: GPL-2.0-or-later
// bexod after it has asked the system to power off or reboot: the system's
// SIGTERM may come many cycles later, and until then nothing may start a
// second power-off. A refused or unhonoured power-off is asked again, a
// refused or unhonoured reboot leaves it watching, and a stop before the
// request leaves no NUT file behind.

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

// A reboot the system accepted but never carried out (a cancelled shutdown
// job): after its bounded wait the daemon tells the board it watches again
// ('D'), hands the line back and watches as after a start. Its own high
// line is no new event: a supply that is there brings no "Voltage loss!",
// no mail and no power-off. (An unhonoured power-off is asked again: see
// the table below.)
struct NeverCameCase {
    const char *name;
    const char *general;
    void (*cause)(sim::Board &);
    const char *request;
    std::vector<std::string> log;  // after the start, up to the request
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
    const std::string resumed = "BEXOD:  The system did not go down; watching the board again";
    ASSERT_TRUE(w.wait_for_log(resumed, 40)) << dump(w);
    EXPECT_GE(w.now() - accepted->t, 16.0) << "180 s at ten times the speed";
    // The line handed back, cycles read it low and do nothing else.
    const auto line_in = [](const Event &e) { return e.kind == Kind::GpioDirection && e.text.rfind("in", 0) == 0; };
    const size_t waited = index_of(w, [&](const Event &e) { return e.t > accepted->t; });
    ASSERT_TRUE(w.wait_for_event(line_in, 10, waited)) << dump(w);
    const size_t back = index_of(w, line_in, waited) + 1;
    ASSERT_TRUE(w.wait_for([&] { return gpio_operations(w, back, true).size() >= 5; }, 10)) << dump(w);
    EXPECT_EQ(gpio_operations(w, back, true), std::vector<std::string>(5, "value-read 0")) << dump(w);
    EXPECT_FALSE(w.gpio().output);
    w.board().set_battery_low(true);
    w.board().lose_supply();
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
    const std::string after = text_of(w.commands(asked));
    EXPECT_EQ(after.substr(0, 5), "44 43") << dump(w);
    EXPECT_EQ(shim_calls(w, 0, "python").size(), count(log, "BEXOD:  Voltage loss!")) << "one mail per loss";
    const PowerOffs done = check_power_offs(w, USER_CALLS);
    EXPECT_EQ(done.power_offs + done.reboots, 2u);
}

INSTANTIATE_TEST_SUITE_P(
    Events, StormRequestNeverCarriedOut,
    testing::Values(
        NeverCameCase{"RebootWithTheSupplyPresent", "timer=1\n", [](sim::Board &b) { b.press_button(2); },
                      "reboot", {"BEXOD:  Set GPIO to output", "BEXOD:  Received manual Reboot signal!"}}),
    [](const testing::TestParamInfo<NeverCameCase> &info) { return info.param.name; });

// ------------------------------------------- one decision, one sequence

const char NUT_FILE[] = "/run/bexod/bexo.dev";
const char RESUMED[] = "BEXOD:  The system did not go down; watching the board again";

std::string refused(const std::string &verb) {
    return "BEXOD:  \"sudo systemctl " + verb + "\" failed with exit status 1";
}

std::string nut_status() {
    for (const std::string &line : lines(World::read_file(NUT_FILE)))
        if (line.rfind("ups.status: ", 0) == 0) return line.substr(12);
    return "";
}

void low_battery_on_battery(sim::Board &b) {
    b.set_battery_low(true);
    b.lose_supply();
}

size_t index_at(const World &w, const Event &e) {
    return index_of(w, [&](const Event &x) { return x.kind == e.kind && x.t == e.t; });
}

// The commands sent, less NUT's readings.
std::string without_readings(const Bytes &sent) {
    Bytes out;
    for (uint8_t command : sent)
        if (!std::set<uint8_t>{0x22, 0x36, 0x35, 0xD0, 0x23, 0xD2, 0xD1}.count(command)) out.push_back(command);
    return text_of(out);
}

// After the supply came back: 'E' while the decision stood, then 'D' and '4',
// and the line handed back and read low.
void expect_decision_ended_by_supply(World &w, size_t asked) {
    ASSERT_TRUE(w.wait_for_log("BEXOD:  Voltage present!", 40)) << dump(w);
    std::string sent = without_readings(w.commands(asked));
    ASSERT_GE(sent.size(), 8u) << dump(w);
    EXPECT_EQ(sent.substr(sent.size() - 5), "44 34");
    sent.erase(sent.size() - 5);
    for (size_t i = 0; i < sent.size(); i += 3) EXPECT_EQ(sent.substr(i, 2), "45") << sent;
    const size_t back = w.event_count();
    ASSERT_TRUE(w.wait_for([&] { return gpio_operations(w, back, true).size() >= 2; }, 10)) << dump(w);
    EXPECT_EQ(gpio_operations(w, back, true)[0], "value-read 0");
}

struct StepCase {
    const char *name;
    const char *general;  // [General] beyond timed boot, sleep and mail
    const char *user;     // [User]
    const char *more;     // further sections
    int systemctl;        // the exit status of every systemctl call
    bool faster;          // the clock runs ten times faster
    void (*cause)(sim::Board &);
    void (*then)(World &, pid_t);  // the row's course and its own checks
    std::vector<std::string> log;  // after the start, before the stop sequence
    bool asked;                    // the system was asked: the power-offs are accounted
    size_t power_offs, reboots;    // decisions
};

void PrintTo(const StepCase &c, std::ostream *os) { *os << c.name; }

class StormPowerOffStep : public testing::TestWithParam<StepCase> {};

// 'I', the user commands and each notification at most once per decision;
// a refused reboot never turns into a supply loss or a power-off; a stop
// before the system was asked removes the NUT file as every stop does.
TEST_P(StormPowerOffStep, OneDecisionOneSequence) {
    const StepCase &c = GetParam();
    World w;
    w.set_config(config(std::string("timed_boot=1\ntime_boot=06:00:00\nsleep=1\nmail=1\n") + c.general, c.user) +
                 c.more);
    w.set_shim_status("systemctl", c.systemctl);
    sim::RunOptions options;
    if (c.faster) options.faketime = "+0 x10";
    const pid_t pid = start_daemon(w, options);
    ASSERT_GT(pid, 0);
    c.cause(w.board());
    c.then(w, pid);
    if (alive(pid)) expect_orderly_end(w, pid);
    EXPECT_EQ(well_formed_log(w),
              with(with(start_log(), c.log), {"BEXOD:  Set GPIO to output", "BEXOD: Received SIGTERM signal."}));
    if (!c.asked) {
        EXPECT_TRUE(w.shim_calls("systemctl").empty()) << dump(w);
        return;
    }
    const PowerOffs done = check_power_offs(w, USER_CALLS);
    EXPECT_EQ(done.power_offs, c.power_offs);
    EXPECT_EQ(done.reboots, c.reboots);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, StormPowerOffStep,
    testing::Values(
        // The refused reboot leaves the line driven high: it must not be
        // taken for a new event whose "nothing" reads as a supply loss.
        StepCase{"RefusedRebootIsNoSupplyLoss", "timer=0\n", USER_COMMANDS, "", 1, false,
                 [](sim::Board &b) { b.press_button(2); },
                 [](World &w, pid_t) {
                     ASSERT_TRUE(w.wait_for_log(RESUMED, 15)) << dump(w);
                     const size_t asked = index_at(w, w.shim_calls("systemctl").at(0));
                     ASSERT_TRUE(w.wait_for([&] { return gpio_operations(w, asked, true).size() >= 4; }, 10));
                     const std::vector<std::string> line = gpio_operations(w, asked, true);
                     EXPECT_EQ(std::vector<std::string>(line.begin(), line.begin() + 4),
                               (std::vector<std::string>{"direction in", "value-read 0", "value-read 0",
                                                         "value-read 0"}));
                     EXPECT_EQ(text_of(w.commands(asked)), "44");
                     EXPECT_TRUE(shim_calls(w, 0, "python").empty());
                 },
                 {"BEXOD:  Set GPIO to output", "BEXOD:  Received manual Reboot signal!", refused("reboot"), RESUMED,
                  "BEXOD:  Set GPIO to input"},
                 true, 0, 1},
        // Asked again every ten seconds, said once a minute; the returning
        // supply ends the decision through the supply-restored path.
        StepCase{"RefusedPowerOffIsAskedAgainUntilTheSupplyReturns", "timer=-1\n", USER_COMMANDS,
                 "[Notify]\ncommand=sim-mark notify \"$NOTIFYTYPE\"\n", 1, false, low_battery_on_battery,
                 [](World &w, pid_t) {
                     ASSERT_TRUE(w.wait_for([&] { return w.shim_calls("systemctl").size() >= 3; }, 40)) << dump(w);
                     const Events asked = w.shim_calls("systemctl");
                     for (size_t i = 1; i < 3; i++) {
                         EXPECT_GE(gap(asked[i - 1], asked[i]), 9.5);
                         EXPECT_LE(gap(asked[i - 1], asked[i]), 13.5);
                     }
                     w.board().set_battery_low(false);
                     w.board().restore_supply();
                     expect_decision_ended_by_supply(w, index_at(w, asked[0]));
                     ASSERT_TRUE(w.wait_for([&] { return shim_calls(w, 0, "sim-mark").size() >= 7; }, 10)) << dump(w);
                     // Notifications run detached, in their own order; the
                     // user commands in the daemon's, before SHUTDOWN's.
                     std::vector<std::string> notified, commands;
                     for (const std::string &call : shim_calls(w, 0, "sim-mark"))
                         (call.rfind("sim-mark notify ", 0) == 0 ? notified : commands).push_back(call);
                     EXPECT_EQ(notified, (std::vector<std::string>{
                                             "sim-mark notify ONBATT UPS bexo on battery",
                                             "sim-mark notify LOWBATT UPS bexo battery is low",
                                             "sim-mark notify FSD UPS bexo: forced shutdown in progress",
                                             "sim-mark notify SHUTDOWN Auto logout and shutdown proceeding",
                                             "sim-mark notify ONLINE UPS bexo on line power"}));
                     EXPECT_EQ(commands, USER_CALLS);
                     EXPECT_EQ(shim_calls(w, 0, "sim-mark")[5],
                               "sim-mark notify SHUTDOWN Auto logout and shutdown proceeding");
                 },
                 {"BEXOD:  Set GPIO to output", "BEXOD:  Voltage loss!", "BEXOD:  Sending Mail notification!",
                  "BEXOD: Received Shutdown signal through low battery capacity.", refused("poweroff"),
                  "BEXOD:  Set GPIO to input", "BEXOD:  Voltage present!"},
                 true, 1, 0},
        // The system was never asked: the file must not tell NUT it is
        // going down.
        StepCase{"StopDuringHostsyncRemovesTheNutFile", "timer=-1\n", USER_COMMANDS,
                 "[NUT]\nexport=1\ninterval=2\nhostsync=30\n", 0, false, low_battery_on_battery,
                 [](World &w, pid_t pid) {
                     ASSERT_TRUE(w.wait_for([] { return nut_status().find("LB") != std::string::npos; }, 15))
                         << dump(w);
                     EXPECT_EQ(w.bexod({"-stop"}).status, 0);
                     EXPECT_EQ(w.wait_exit(pid, 10), 0) << dump(w);
                     EXPECT_FALSE(World::exists(NUT_FILE)) << World::read_file(NUT_FILE);
                     EXPECT_TRUE(shim_calls(w, 0, "sim-mark").empty());
                     EXPECT_EQ(w.board().seen(0x49), 0);
                 },
                 {"BEXOD:  Set GPIO to output", "BEXOD:  Voltage loss!", "BEXOD:  Sending Mail notification!",
                  "BEXOD: Received Shutdown signal through low battery capacity."},
                 false, 0, 0},
        StepCase{"StopDuringTheUserCommandsRemovesTheNutFile", "timer=-1\n", "command1=sim-mark one && sleep 30\n",
                 "[NUT]\nexport=1\ninterval=2\n", 0, false, low_battery_on_battery,
                 [](World &w, pid_t pid) {
                     ASSERT_TRUE(w.wait_for_shim("sim-mark", 15, "one")) << dump(w);
                     EXPECT_EQ(w.bexod({"-stop"}).status, 0);
                     EXPECT_EQ(w.wait_exit(pid, 10), 0) << dump(w);
                     EXPECT_FALSE(World::exists(NUT_FILE)) << World::read_file(NUT_FILE);
                     EXPECT_EQ(w.board().seen(0x49), 1);
                 },
                 {"BEXOD:  Set GPIO to output", "BEXOD:  Voltage loss!", "BEXOD:  Sending Mail notification!",
                  "BEXOD: Received Shutdown signal through low battery capacity."},
                 false, 0, 0},
        // An accepted power-off that never comes (a cancelled shutdown
        // job) is asked again after the 180 s wait, not given up.
        StepCase{"AcceptedPowerOffNotCarriedOutIsAskedAgain", "timer=1\n", USER_COMMANDS,
                 "[NUT]\nexport=1\ninterval=2\n", 0, true, [](sim::Board &b) { b.lose_supply(); },
                 [](World &w, pid_t) {
                     ASSERT_TRUE(w.wait_for([&] { return w.shim_calls("systemctl").size() >= 2; }, 40)) << dump(w);
                     const Events asked = w.shim_calls("systemctl");
                     EXPECT_GE(gap(asked[0], asked[1]), 16.0) << "180 s at ten times the speed";
                     EXPECT_EQ(nut_status(), "FSD OB DISCHRG");
                     w.board().restore_supply();
                     expect_decision_ended_by_supply(w, index_at(w, asked[0]));
                     EXPECT_TRUE(w.wait_for([] { return nut_status() == "OL CHRG"; }, 5)) << nut_status();
                 },
                 {"BEXOD:  Set GPIO to output", "BEXOD:  Voltage loss!", "BEXOD:  Sending Mail notification!",
                  "BEXOD:  Received Shutdown Signal through timer expired.", "BEXOD:  Set GPIO to input",
                  "BEXOD:  Voltage present!"},
                 true, 1, 0}),
    [](const testing::TestParamInfo<StepCase> &info) { return info.param.name; });

}  // namespace

// SPDX-License-Identifier: GPL-2.0-or-later
// bexod's signals in the simulated world: SIGHUP and SIGTERM run their stop
// sequences from the main flow at once (cutting a pause short, or while a
// shell command runs), SIGINT and SIGQUIT change nothing, and a signal that
// comes before the bus is open leaves the board alone.

#include <signal.h>

#include "tests/system/daemon_support.hpp"

namespace {

using namespace daemon_test;

Events signal_events(const World &w, size_t from = 0) {
    return since(w, from, [](const Event &e) { return e.kind == Kind::Signal; });
}

bool is_signal(const Event &e) { return e.kind == Kind::Signal; }

TEST(DaemonSignals, SighupAlertsTheBoardAndTheNextCycleTakesTheEventBranch) {
    World w;
    w.set_config(config("timed_boot=1\ntime_boot=06:00:00\ntimer=30\nsleep=1\n"));
    sim::RunOptions at;
    at.faketime = "@2026-12-08 22:15:00";
    const pid_t pid = start_daemon(w, at);
    ASSERT_GT(pid, 0);
    // Into the pause after the first cycle.
    ASSERT_TRUE(w.wait_for_event([](const Event &e) { return e.kind == Kind::GpioValueRead; }, 5));
    ASSERT_TRUE(w.signal_daemon(SIGHUP));
    const size_t before = index_of(w, is_signal);
    ASSERT_TRUE(w.wait_for_log("BEXOD:  Voltage present!", 20)) << dump(w);

    EXPECT_EQ(messages(w), (std::vector<std::string>{
                               "BEXOD:  Activating time controlled boot!",
                               "BEXOD:  Set GPIO to input", "BEXOD: Entering Daemon BEXO.",
                               "BEXOD:  Set GPIO to output", "BEXOD: Received SIGHUP signal.",
                               "BEXOD:  Set GPIO to output", "BEXOD:  Voltage loss!",
                               "BEXOD:  Set GPIO to input", "BEXOD:  Voltage present!"}));
    // The board raised nothing: the answer to '3' reads as a supply loss,
    // and 'E' finds the supply present.
    EXPECT_EQ(text_of(w.commands(before)), "43 54 43 33 33 21 45 44 34") << dump(w);
    const Events writes = w.board_writes(before);
    const Event sighup = signal_events(w, before).at(0);
    EXPECT_LT(gap(sighup, writes[0]), 0.5) << "the sequence waited for the cycle pause";
    const Bytes &record = writes[1].bytes;
    ASSERT_EQ(record.size(), 10u);
    EXPECT_EQ(text_of(Bytes(record.begin(), record.begin() + 6)), "54 06 00 00 16 0f");
    // 100 ms after the record, then the log line; the next cycle reads the
    // line the daemon drives high. (A cycle under way when the signal came
    // finishes first.)
    std::vector<std::string> ops = gpio_operations(w, before, true);
    while (!ops.empty() && ops.front() == "value-read 0") ops.erase(ops.begin());
    ASSERT_GE(ops.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(ops.begin(), ops.begin() + 3),
              (std::vector<std::string>{"direction out", "value-write 1", "value-read 1"}));
    const Event high = since(w, before, [](const Event &e) {
                           return e.kind == Kind::GpioValueRead && e.text == "1\n";
                       }).at(0);
    EXPECT_GE(gap(writes[1], high), 0.09);
    EXPECT_TRUE(alive(pid));
    EXPECT_EQ(World::read_file(PID_FILE), std::to_string(pid) + "\n");
    EXPECT_TRUE(shim_calls(w).empty());
}

TEST(DaemonSignals, SigintAndSigquitChangeNothing) {
    World w;
    w.set_config(config("timed_boot=1\ntime_boot=06:00:00\nsleep=1\n"));
    const pid_t pid = start_daemon(w);
    ASSERT_GT(pid, 0);
    const size_t before = w.event_count();
    const std::string log = w.log();
    ASSERT_TRUE(w.signal_daemon(SIGINT));
    ASSERT_TRUE(w.signal_daemon(SIGQUIT));
    // Two more cycles.
    ASSERT_TRUE(w.wait_for([&] { return gpio_operations(w, before, true).size() >= 3; }, 10)) << dump(w);
    EXPECT_TRUE(alive(pid));
    EXPECT_EQ(w.log(), log);
    EXPECT_TRUE(w.board_writes(before).empty()) << dump(w);
    EXPECT_EQ(gpio_operations(w, before, true),
              std::vector<std::string>(gpio_operations(w, before, true).size(), "value-read 0"));
    EXPECT_EQ(World::read_file(PID_FILE), std::to_string(pid) + "\n");

    ASSERT_TRUE(w.signal_daemon(SIGTERM));
    EXPECT_EQ(w.wait_exit(pid, 10), 0) << dump(w);
}

class DaemonSignalDuringQuery : public testing::TestWithParam<int> {};

// The countdown's queries wait a second for each reply; a stop signal cuts
// that wait short and its sequence runs at once.
TEST_P(DaemonSignalDuringQuery, RunsTheSequenceAtOnce) {
    const int sig = GetParam();
    World w;
    w.set_config(config("timer=-1\nsleep=1\n"));
    const pid_t pid = start_daemon(w);
    ASSERT_GT(pid, 0);
    w.board().lose_supply();
    ASSERT_TRUE(w.wait_for_log("BEXOD:  Voltage loss!", 10)) << dump(w);
    const auto query = w.wait_for_event(write_of(0x21), 10);
    ASSERT_TRUE(query) << dump(w);
    const size_t asked = w.event_count();
    ASSERT_TRUE(w.signal_daemon(sig));
    const size_t signalled = index_of(w, is_signal, asked);
    ASSERT_TRUE(w.wait_for_event(write_of(0x43), 5, signalled)) << dump(w);
    const Event sent = signal_events(w, asked).at(0);
    const Event alert = *w.wait_for_event(write_of(0x43), 1, signalled);
    // The reply to '!' was due a second after the query.
    EXPECT_LT(alert.t - query->t, 0.9) << dump(w);
    EXPECT_LT(gap(sent, alert), 0.5);

    if (sig == SIGTERM) {
        EXPECT_EQ(w.wait_exit(pid, 10), 0) << dump(w);
        EXPECT_EQ(text_of(w.commands(signalled)), "43");
        EXPECT_EQ(messages(w).back(), "BEXOD: Received SIGTERM signal.");
        EXPECT_FALSE(World::exists(PID_FILE));
        return;
    }
    // After SIGHUP the countdown goes on where it was.
    ASSERT_TRUE(w.wait_for_log("BEXOD: Received SIGHUP signal.", 5)) << dump(w);
    ASSERT_TRUE(w.wait_for_event(write_of(0x45), 10, signalled)) << dump(w);
    w.board().restore_supply();
    ASSERT_TRUE(w.wait_for_log("BEXOD:  Voltage present!", 10)) << dump(w);
    const std::vector<std::string> log = messages(w);
    EXPECT_EQ(std::vector<std::string>(log.end() - 5, log.end()),
              (std::vector<std::string>{"BEXOD:  Voltage loss!", "BEXOD:  Set GPIO to output",
                                        "BEXOD: Received SIGHUP signal.", "BEXOD:  Set GPIO to input",
                                        "BEXOD:  Voltage present!"}));
    EXPECT_TRUE(alive(pid));
}

INSTANTIATE_TEST_SUITE_P(Signals, DaemonSignalDuringQuery, testing::Values(SIGTERM, SIGHUP),
                         [](const testing::TestParamInfo<int> &info) {
                             return info.param == SIGTERM ? "Sigterm" : "Sighup";
                         });

// A restart while the old daemon runs a long user command: the old one's
// stop sequence runs at once, the command goes on to its end, and the new
// daemon starts as soon as the old one has let go of its PID file.
TEST(DaemonSignals, StopSignalDuringAUserCommandRunsItsSequenceAtOnce) {
    World w;
    w.set_config(config("timer=-1\nsleep=1\n",
                        "command1=\"sleep 4; sim-mark one\"\ncommand2=sim-mark two\n"));
    const pid_t old = start_daemon(w);
    ASSERT_GT(old, 0);
    w.board().press_button(1);
    ASSERT_TRUE(w.wait_for_log("BEXOD:  Received manual Shutdown signal!", 10)) << dump(w);
    const size_t before = w.event_count();

    const sim::Result restart = w.bexod({"-restart"});
    EXPECT_EQ(restart.status, 0);
    EXPECT_EQ(restart.out, "B.EXO Daemon stopped!\nB.EXO Daemon started..\n");
    EXPECT_EQ(restart.err, "");
    EXPECT_LT(restart.seconds, 3.5) << "the stop did not wait for the command";
    EXPECT_EQ(w.wait_exit(old, 5), 0) << dump(w);
    ASSERT_TRUE(w.wait_for([&] { return is_bexod(w.daemon_pid()); }, 10)) << dump(w);
    EXPECT_NE(w.daemon_pid(), old);

    // The command the old daemon started finishes; the next one never runs.
    ASSERT_TRUE(w.wait_for_shim("sim-mark", 10, "one", before)) << dump(w);
    w.wait_for([] { return false; }, 1);
    EXPECT_EQ(shim_calls(w, before), (std::vector<std::string>{"sudo rm -r /var/run/bexod.pid", "sim-mark one"}));
    EXPECT_EQ(count(messages(w), "BEXOD: Received SIGTERM signal."), 1u);
    EXPECT_EQ(text_of(w.commands(before)), "43 44") << "the old stop's 'C', the new start's 'D'";
    const pid_t current = w.daemon_pid();
    ASSERT_TRUE(w.signal_daemon(SIGTERM));
    EXPECT_EQ(w.wait_exit(current, 10), 0);
}

// The unit's own start (the package's unit) pauses a second after copying
// the service unit to /etc; a SIGTERM there already has the bus and runs the
// whole stop sequence, and nothing is started.
TEST(DaemonSignals, SigtermDuringStartUpStopsTheInvocationWithItsSequence) {
    World w;
    w.set_config(config("autostart=1\nsleep=1\n"));
    World::write_file(UNIT_SOURCE, "[Unit]\n");
    put_in_unit(w, "self");
    const sim::Result r = w.run(
        {"sh", "-c", "bexod -start & sleep 0.5; kill -TERM $!; wait $!; echo status $?"});
    EXPECT_EQ(r.out, "B.EXO Daemon started..\nstatus 0\n");
    EXPECT_EQ(text_of(w.commands()), "44 43");
    EXPECT_EQ(shim_calls(w, 0, "sudo"),
              (std::vector<std::string>{"sudo cp /opt/bexod/start/bexod.service /etc/systemd/system/",
                                        "sudo rm -r /var/run/bexod.pid"}));
    EXPECT_EQ(messages(w), (std::vector<std::string>{"BEXOD:  Set GPIO to input",
                                                     "BEXOD:  Set GPIO to output",
                                                     "BEXOD: Received SIGTERM signal."}));
    EXPECT_FALSE(World::exists(PID_FILE));
    EXPECT_TRUE(w.gpio().output);
    EXPECT_EQ(w.gpio().level, 1);
}

class DaemonSignalBeforeTheBus : public testing::TestWithParam<int> {};

// "bexod -restart" pauses a second after stopping the old daemon, before it
// opens the bus: a signal there has no board to tell. The event line is the
// chip's line 27 all the same (gpio539 here).
TEST_P(DaemonSignalBeforeTheBus, SkipsTheBoardStepsAndDoesTheRest) {
    const int sig = GetParam();
    sim::Options o;
    o.gpio_base = 512;
    World w(o);
    w.set_config(config("sleep=1\n"));
    const pid_t old = start_daemon(w);
    ASSERT_GT(old, 0);
    const size_t before = w.event_count();
    const std::string name = sig == SIGTERM ? "TERM" : "HUP";
    const sim::Result r = w.run(
        {"sh", "-c", "bexod -restart & sleep 0.5; kill -" + name + " $!; wait $!; echo status $?"});
    EXPECT_EQ(w.wait_exit(old, 10), 0) << dump(w);
    const std::vector<std::string> log = messages(w);
    const auto opens = [&] {
        return since(w, 0, [](const Event &e) { return e.kind == Kind::I2cOpen; }).size();
    };

    if (sig == SIGTERM) {
        EXPECT_EQ(r.out, "B.EXO Daemon stopped!\nstatus 0\n");
        EXPECT_EQ(opens(), 1u) << dump(w);
        EXPECT_EQ(count(log, "BEXOD: Received SIGTERM signal."), 2u) << w.log();
        EXPECT_EQ(log.back(), "BEXOD: Received SIGTERM signal.");
        EXPECT_EQ(shim_calls(w, before), (std::vector<std::string>{"sudo rm -r /var/run/bexod.pid",
                                                                   "sudo rm -r /var/run/bexod.pid"}));
        EXPECT_EQ(text_of(w.commands(before)), "43");  // the old daemon's alone
        EXPECT_FALSE(World::exists(PID_FILE));
    } else {
        EXPECT_EQ(r.out, "B.EXO Daemon stopped!\nB.EXO Daemon started..\nstatus 0\n");
        EXPECT_EQ(opens(), 2u) << dump(w);
        EXPECT_EQ(count(log, "BEXOD: Received SIGHUP signal."), 1u) << w.log();
        EXPECT_EQ(log.back(), "BEXOD: Entering Daemon BEXO.");
        // The old daemon's 'C', then the new start's 'D': the interrupted
        // invocation sent nothing.
        EXPECT_EQ(text_of(w.commands(before)), "43 44");
        ASSERT_TRUE(w.wait_for([&] { return is_bexod(w.daemon_pid()); }, 10)) << dump(w);
    }
    // Either way the line was driven high by the interrupted invocation.
    for (const Event &e : w.gpio_events()) EXPECT_EQ(e.line, 539) << e.str();
    const std::vector<std::string> ops = gpio_operations(w, before);
    EXPECT_EQ(count(ops, "direction out"), 2u) << dump(w);
}

INSTANTIATE_TEST_SUITE_P(Signals, DaemonSignalBeforeTheBus, testing::Values(SIGTERM, SIGHUP),
                         [](const testing::TestParamInfo<int> &info) {
                             return info.param == SIGTERM ? "Sigterm" : "Sighup";
                         });

}  // namespace

// SPDX-License-Identifier: GPL-2.0-or-later
// bexod against a misbehaving board, a GPIO value file that comes and goes,
// and an event log deleted under it. It ends only where its design says it
// ends; otherwise it carries on and handles the next event correctly.

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <thread>

#include "tests/system/storm_support.hpp"

namespace {

using namespace storm_test;
using sim::ReplyFault;

constexpr ReplyFault G = ReplyFault::Good;
constexpr ReplyFault W = ReplyFault::WrongEcho;
constexpr ReplyFault F = ReplyFault::FailRead;

const char USER_COMMANDS[] = "command1=sim-mark one\n";

pid_t start(World &w, const std::string &general, const sim::RunOptions &options = {}) {
    w.set_config(config("sleep=1\n" + general, USER_COMMANDS));
    return start_daemon(w, options);
}

// The daemon's one-second waits pass ten times faster; the countdown's
// interval timer is not sped up.
sim::RunOptions fast() {
    sim::RunOptions o;
    o.faketime = "+0 x10";
    return o;
}

// Every reply with a wrong echo is followed by the same request again, and
// every query that got its echo was sent no more often than its wrong echoes
// plus one.
void expect_wrong_echoes_retried(const World &w, size_t from) {
    const Events all = w.events();
    uint8_t asked = 0;
    for (size_t i = from; i < all.size(); i++) {
        const Event &e = all[i];
        if (sim::is_board_write(e) && !e.bytes.empty()) asked = e.bytes[0];
        if (e.kind != Kind::Read || !e.ok() || e.bytes.empty() || e.bytes[0] == asked) continue;
        const size_t next = index_of(w, sim::is_board_write, i + 1);
        if (next == all.size()) continue;  // the record ends with it
        EXPECT_EQ(all[next].bytes, Bytes{asked}) << "no retry after a wrong echo to "
                                                 << text_of(Bytes{asked}) << " at " << e.t;
    }
}

struct ScheduleCase {
    const char *name;
    std::vector<ReplyFault> schedule;
    bool ends;  // five reads in a row fail: the daemon ends with status 1
};

void PrintTo(const ScheduleCase &c, std::ostream *os) { *os << c.name; }

class StormBoardSchedule : public testing::TestWithParam<ScheduleCase> {};

// The schedule starts with the first reply the daemon reads: the take-over's
// button query. A failed read is retried like a wrong echo; five in a row
// mean the board is gone.
TEST_P(StormBoardSchedule, WrongEchoesAndFailedReadsRetryAndFiveFailuresInARowEndTheDaemon) {
    const ScheduleCase &c = GetParam();
    World w;
    const pid_t pid = start(w, "timer=-1\n", fast());
    ASSERT_GT(pid, 0);
    const size_t started = w.event_count();
    w.board().set_reply_schedule(c.schedule, true);
    w.board().lose_supply();

    if (c.ends) {
        EXPECT_EQ(w.wait_exit(pid, 60), 1) << dump(w);
        const std::vector<std::string> log = well_formed_log(w);
        ASSERT_FALSE(log.empty());
        EXPECT_EQ(log.back(), "BEXOD:  Unable to select I2C device");
        EXPECT_EQ(count(log, "BEXOD:  Unable to select I2C device"), 1u);
        EXPECT_EQ(World::read_file(PID_FILE), std::to_string(pid) + "\n") << "a fatal end leaves the PID file";
        // It ended at the fifth failed read in a row: nothing was sent after it.
        const Events all = w.events();
        size_t failed = all.size();
        for (size_t i = started; i < all.size(); i++)
            if (all[i].kind == Kind::Read && !all[i].ok()) failed = i;
        ASSERT_LT(failed, all.size()) << dump(w);
        const Events tail_reads = since(w, started, [](const Event &e) { return e.kind == Kind::Read; });
        ASSERT_GE(tail_reads.size(), 5u);
        for (size_t i = tail_reads.size() - 5; i < tail_reads.size(); i++) EXPECT_FALSE(tail_reads[i].ok());
        EXPECT_EQ(index_of(w, sim::is_board_write, failed), all.size()) << dump(w);
        EXPECT_TRUE(reads(w, failed + 1).empty());
    } else {
        // Two answered 'E' queries: the countdown went round at least twice.
        const auto answered_e = [](const Event &e) { return e.kind == Kind::Read && e.ok() && !e.bytes.empty() && e.bytes[0] == 0x45; };
        ASSERT_TRUE(w.wait_for([&] { return since(w, started, answered_e).size() >= 2; }, 60)) << dump(w);
        w.board().restore_supply();
        ASSERT_TRUE(w.wait_for_log("BEXOD:  Voltage present!", 60)) << dump(w);
        const size_t back = w.event_count();
        ASSERT_TRUE(w.wait_for([&] { return gpio_operations(w, back, true).size() >= 2; }, 30)) << dump(w);
        EXPECT_EQ(gpio_operations(w, back, true), (std::vector<std::string>{"value-read 0", "value-read 0"}));
        EXPECT_EQ(well_formed_log(w),
                  (std::vector<std::string>{"BEXOD:  Set GPIO to input", "BEXOD: Entering Daemon BEXO.",
                                            "BEXOD:  Set GPIO to output", "BEXOD:  Voltage loss!",
                                            "BEXOD:  Set GPIO to input", "BEXOD:  Voltage present!"}));
        const Bytes sent = w.commands(started);
        EXPECT_EQ(text_of(Bytes(sent.end() - 2, sent.end())), "44 34");
        expect_orderly_end(w, pid);
    }
    expect_wrong_echoes_retried(w, started);
    const Events wrong = since(w, started, [](const Event &e) {
        return e.kind == Kind::Read && e.ok() && !e.bytes.empty() && e.bytes[0] != 0x33 &&
               e.bytes[0] != 0x21 && e.bytes[0] != 0x45;
    });
    EXPECT_FALSE(wrong.empty()) << "the schedule gave no wrong echo";
    const PowerOffs done = check_power_offs(w, {"sim-mark one"});
    EXPECT_EQ(done.power_offs + done.reboots, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Schedules, StormBoardSchedule,
    testing::Values(ScheduleCase{"EveryQueryRetriedOnce", {W, G}, false},
                    ScheduleCase{"RunsOfWrongEchoes", {W, W, G, W, G, G, W, W, W, G, G}, false},
                    ScheduleCase{"FailedReadsBetweenGoodOnes", {W, G, F, G, F, F, G}, false},
                    ScheduleCase{"FourFailedReadsInARow", {G, F, F, F, F, G, W, G}, false},
                    ScheduleCase{"FiveFailedReadsAfterARetry", {W, G, F, F, F, F, F}, true},
                    ScheduleCase{"FiveFailedReadsInTheSecondPass", {G, W, G, G, W, W, G, W, F, F, F, W, F, F, F, F, F}, true}),
    [](const testing::TestParamInfo<ScheduleCase> &info) { return info.param.name; });

// The countdown runs out under a board that keeps giving wrong echoes: one
// power-off, the user command once.
TEST(StormBoardSchedule, CountdownExpiryUnderWrongEchoesPowersOffOnce) {
    World w;
    w.sigterm_on_poweroff(true, 3.0);
    const pid_t pid = start(w, "timer=2\n");
    ASSERT_GT(pid, 0);
    const size_t started = w.event_count();
    w.board().set_reply_schedule({W, G, W, W, G}, true);
    w.board().lose_supply();
    ASSERT_TRUE(w.wait_for_log("BEXOD: Received SIGTERM signal.", 60)) << dump(w);
    EXPECT_EQ(w.wait_exit(pid, 10), 0) << dump(w);
    EXPECT_EQ(well_formed_log(w),
              (std::vector<std::string>{"BEXOD:  Set GPIO to input", "BEXOD: Entering Daemon BEXO.",
                                        "BEXOD:  Set GPIO to output", "BEXOD:  Voltage loss!",
                                        "BEXOD:  Received Shutdown Signal through timer expired.",
                                        "BEXOD:  Set GPIO to output", "BEXOD: Received SIGTERM signal."}));
    expect_wrong_echoes_retried(w, started);
    EXPECT_EQ(check_power_offs(w, {"sim-mark one"}).power_offs, 1u);
}

// ------------------------------------------------------------------ GPIO

// While the value file is gone each cycle reads -1 and carries on, so a
// supply loss then goes unseen; the first cycle after it comes back sees
// the raised line and handles the loss.
TEST(StormGpio, ValueFileGoingAndComingBackDelaysTheEventUntilItIsBack) {
    World w;
    const pid_t pid = start(w, "timer=-1\n");
    ASSERT_GT(pid, 0);
    const auto value_read = [](const Event &e) { return e.kind == Kind::GpioValueRead; };
    ASSERT_TRUE(w.wait_for_event(value_read, 10));
    // Gone for 1.5 s, back for a second, three times; the supply goes in
    // the last absence.
    double back_at = 0;
    for (int i = 0; i < 3; i++) {
        const double gone = w.now();
        w.hide_gpio_value(1.5);
        back_at = gone + 1.5;
        if (i == 2) {
            w.board().lose_supply();
            break;
        }
        ASSERT_TRUE(w.wait_for([&] { return w.now() > back_at; }, 5));
        const size_t shown = w.event_count();
        ASSERT_TRUE(w.wait_for_event(value_read, 10, shown)) << "no cycle after the file came back\n" << dump(w);
        for (const Event &e : since(w, 0, value_read))
            EXPECT_FALSE(e.t > gone && e.t < back_at) << "read while gone: " << e.str();
    }
    ASSERT_TRUE(w.wait_for_log("BEXOD:  Voltage loss!", 15)) << dump(w);
    const auto take_over = w.wait_for_event(write_of(0x43), 0);
    ASSERT_TRUE(take_over);
    EXPECT_GE(take_over->t, back_at);
    w.board().restore_supply();
    ASSERT_TRUE(w.wait_for_log("BEXOD:  Voltage present!", 15)) << dump(w);

    EXPECT_EQ(well_formed_log(w),
              (std::vector<std::string>{"BEXOD:  Set GPIO to input", "BEXOD: Entering Daemon BEXO.",
                                        "BEXOD:  Set GPIO to output", "BEXOD:  Voltage loss!",
                                        "BEXOD:  Set GPIO to input", "BEXOD:  Voltage present!"}));
    EXPECT_EQ(check_power_offs(w, {"sim-mark one"}).power_offs, 0u);
    expect_orderly_end(w, pid);
}

// The line unexported under the daemon kills its held value file, which
// then reports an edge at once for good: that costs a look, never a busy
// loop. Exported again (with no edge, as a new export has), the line is
// armed again and its rise seen at once.
TEST(StormGpio, LineUnexportedUnderTheDaemonCostsALookAndIsArmedAgainOnItsReturn) {
    World w;
    const pid_t pid = start(w, "timer=-1\n");
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(w.wait_for_event([](const Event &e) { return e.kind == Kind::GpioValueRead; }, 10));
    const auto switches = [pid] {
        std::ifstream status("/proc/" + std::to_string(pid) + "/status");
        long total = 0;
        for (std::string line; std::getline(status, line);)
            if (line.find("ctxt_switches:") != std::string::npos) total += std::stol(line.substr(line.find(':') + 1));
        return total;
    };
    const std::string gpio = w.testbed_root() + "/sys/class/gpio/";
    World::write_file(gpio + "unexport", "27");
    const long before = switches();
    std::this_thread::sleep_for(std::chrono::seconds(3));
    EXPECT_LT(switches() - before, 150) << "the daemon spins on its dead descriptor";
    const size_t back = w.event_count();
    World::write_file(gpio + "export", "27");
    ASSERT_TRUE(w.wait_for([&] { return gpio_operations(w, back).size() >= 2; }, 5)) << dump(w);
    EXPECT_EQ(gpio_operations(w, back), (std::vector<std::string>{"export 27", "edge rising"}));
    const double rose = w.now();
    w.board().lose_supply();
    const auto alert = w.wait_for_event(write_of(0x43), 5, back);
    ASSERT_TRUE(alert) << dump(w);
    EXPECT_LE(alert->t - rose, sim::scaled(0.5)) << dump(w);
}

// The value file is gone when the daemon takes the line over: the direction
// becomes "out", the level cannot be set, and the daemon ends with status 1
// and its PID file left behind. The take-over of a SIGHUP is the one a test
// can time exactly; the cycle's own take-over runs the same routine.
TEST(StormGpio, ValueFileGoneAtTheTakeOverEndsTheDaemonWithStatus1) {
    World w;
    w.set_config(config("timed_boot=1\ntime_boot=06:00:00\nsleep=1\ntimer=-1\n", USER_COMMANDS));
    const pid_t pid = start_daemon(w);
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(w.wait_for_event([](const Event &e) { return e.kind == Kind::GpioValueRead; }, 10));
    w.hide_gpio_value(60);
    const size_t before = w.event_count();
    ASSERT_TRUE(w.signal_daemon(SIGHUP));
    EXPECT_EQ(w.wait_exit(pid, 15), 1) << dump(w);

    const std::vector<std::string> log = well_formed_log(w);
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back(), "BEXOD:  Unable to set output high");
    EXPECT_EQ(count(log, "BEXOD: Received SIGHUP signal."), 0u);
    EXPECT_EQ(gpio_operations(w, before), (std::vector<std::string>{"direction out"}));
    EXPECT_TRUE(w.board_writes(before).empty()) << "the sequence went on after the failure\n" << dump(w);
    EXPECT_EQ(World::read_file(PID_FILE), std::to_string(pid) + "\n");
    EXPECT_EQ(check_power_offs(w, {"sim-mark one"}).power_offs, 0u);
}

// ------------------------------------------------------------- event log

mode_t mode_of(const std::string &path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// The log deleted again and again while the daemon works: every entry that
// follows a deletion is in the new file, which has mode 0640.
TEST(StormEventLog, DeletedLogIsCreatedAnewAndLosesNothingAfterwards) {
    World w;
    const pid_t pid = start(w, "timed_boot=1\ntime_boot=06:00:00\ntimer=-1\n");
    ASSERT_GT(pid, 0);

    ASSERT_EQ(unlink(LOG_FILE), 0);
    w.board().lose_supply();
    ASSERT_TRUE(w.wait_for_log("BEXOD:  Voltage loss!", 15)) << dump(w);
    EXPECT_EQ(well_formed_log(w), (std::vector<std::string>{"BEXOD:  Set GPIO to output", "BEXOD:  Voltage loss!"}));
    EXPECT_EQ(mode_of(LOG_FILE), 0640u);

    // Deleted every millisecond amid a burst of SIGHUPs: whatever survives
    // is whole entries.
    std::atomic<bool> deleting{true};
    std::thread deleter([&] {
        while (deleting) {
            unlink(LOG_FILE);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    const Burst burst = send_burst(w, pid, 30, std::chrono::microseconds(2000));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    deleting = false;
    deleter.join();
    EXPECT_GE(burst.hangups, 10);
    well_formed_log(w);

    // Quiet again once a whole pause has passed after an 'E' query (a
    // noted SIGHUP runs in the next pause): one more deletion, then the
    // supply comes back.
    const auto e_query = w.wait_for_event(write_of(0x45), 15, w.event_count());
    ASSERT_TRUE(e_query) << dump(w);
    ASSERT_TRUE(w.wait_for_event(write_of(0x33), 15, index_of(w, [&](const Event &e) { return e.t > e_query->t; })))
        << dump(w);
    unlink(LOG_FILE);
    w.board().restore_supply();
    ASSERT_TRUE(w.wait_for_log("BEXOD:  Voltage present!", 15)) << dump(w);
    EXPECT_EQ(well_formed_log(w), (std::vector<std::string>{"BEXOD:  Set GPIO to input", "BEXOD:  Voltage present!"}));
    EXPECT_EQ(mode_of(LOG_FILE), 0640u);
    expect_orderly_end(w, pid);
    EXPECT_EQ(well_formed_log(w),
              (std::vector<std::string>{"BEXOD:  Set GPIO to input", "BEXOD:  Voltage present!",
                                        "BEXOD:  Set GPIO to output", "BEXOD: Received SIGTERM signal."}));
    EXPECT_EQ(mode_of(LOG_FILE), 0640u);
    EXPECT_TRUE(shim_calls(w, 0, "sim-mark").empty());
    EXPECT_EQ(shim_calls(w, 0, "sudo"), (std::vector<std::string>{"sudo rm -r /var/run/bexod.pid"}));
}

}  // namespace

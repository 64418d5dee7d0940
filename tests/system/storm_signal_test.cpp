// SPDX-License-Identifier: GPL-2.0-or-later
// Bursts of signals against bexod: SIGHUP, SIGINT and SIGQUIT in quick
// succession while it waits, while it queries the board and during a
// supply-loss countdown. The daemon keeps running and keeps its state, and
// ends only on SIGTERM.
//
// What a burst may do: the handler only notes SIGHUP, so SIGHUPs that
// arrive while one is still noted merge into one sequence, and a SIGHUP that
// arrives after the sequence has begun brings another. So a burst of h
// SIGHUPs runs between 1 and h sequences, each one complete (take-over, 'C',
// time record, one log line), and the last SIGHUP is never lost: a sequence
// begins after it was sent. SIGHUPs sent one at a time, each after the
// previous one's log line, run one sequence each.

#include "tests/system/storm_support.hpp"

namespace {

using namespace storm_test;

const char USER_COMMANDS[] = "command1=sim-mark one\ncommand2=sim-mark two\n";

pid_t start(World &w, const std::string &general, const sim::RunOptions &options = {}) {
    w.set_config(config("timed_boot=1\ntime_boot=06:00:00\nsleep=1\n" + general, USER_COMMANDS));
    return start_daemon(w, options);
}

const std::string TAKE_OVER = "BEXOD:  Set GPIO to output";
const std::string HANGUP = "BEXOD: Received SIGHUP signal.";

// The log after the start with every SIGHUP sequence taken out. Each
// sequence logs its take-over and then its own line, with nothing between.
std::vector<std::string> without_hangups(std::vector<std::string> log, size_t *sequences) {
    *sequences = 0;
    for (size_t i = 0; i < log.size();) {
        if (log[i] != HANGUP) {
            i++;
            continue;
        }
        EXPECT_TRUE(i > 0 && log[i - 1] == TAKE_OVER) << "SIGHUP line without its take-over at " << i;
        if (i == 0) break;
        log.erase(log.begin() + static_cast<long>(i) - 1, log.begin() + static_cast<long>(i) + 1);
        i--;
        ++*sequences;
    }
    return log;
}

// What a supply loss that ends with the supply back leaves in the log.
const std::vector<std::string> LOSS_AND_RETURN{TAKE_OVER, "BEXOD:  Voltage loss!", "BEXOD:  Set GPIO to input",
                                               "BEXOD:  Voltage present!"};

// `log` is one or more supply losses that ended with the supply back.
void expect_losses_and_returns(const std::vector<std::string> &log) {
    ASSERT_FALSE(log.empty());
    ASSERT_EQ(log.size() % LOSS_AND_RETURN.size(), 0u) << testing::PrintToString(log);
    for (size_t i = 0; i < log.size(); i += LOSS_AND_RETURN.size())
        EXPECT_EQ(std::vector<std::string>(log.begin() + static_cast<long>(i),
                                           log.begin() + static_cast<long>(i + LOSS_AND_RETURN.size())),
                  LOSS_AND_RETURN);
}

// Waits until the line is the board's again and two cycles in a row have
// read it low: no sequence is pending any more.
void wait_until_waiting_again(World &w) {
    ASSERT_TRUE(w.wait_for([&] { return !w.gpio().output && messages(w).back() == "BEXOD:  Voltage present!"; }, 60))
        << dump(w);
    const size_t from = w.event_count();
    const auto value_read = [](const Event &e) { return e.kind == Kind::GpioValueRead; };
    ASSERT_TRUE(w.wait_for([&] { return since(w, from, value_read).size() >= 2; }, 30)) << dump(w);
    for (const Event &e : since(w, from, value_read)) EXPECT_EQ(e.text, "0\n") << dump(w);
    EXPECT_EQ(messages(w).back(), "BEXOD:  Voltage present!");
}

enum class Phase { Waiting, ButtonQuery, Countdown };

struct BurstCase {
    const char *name;
    Phase phase;
    int gap_us;  // between two signals; with a gap, SIGHUPs also arrive during sequences
};

void PrintTo(const BurstCase &c, std::ostream *os) { *os << c.name; }

class StormSignalBurst : public testing::TestWithParam<BurstCase> {};

TEST_P(StormSignalBurst, DaemonRunsOneSequencePerObservedHangupAndKeepsGoing) {
    const Phase phase = GetParam().phase;
    World w;
    const pid_t pid = start(w, "timer=-1\n");
    ASSERT_GT(pid, 0);
    const size_t started = w.event_count();
    if (phase == Phase::Waiting) {
        ASSERT_TRUE(w.wait_for_event([](const Event &e) { return e.kind == Kind::GpioValueRead; }, 10, started));
    } else {
        w.board().lose_supply();
        const uint8_t query = phase == Phase::ButtonQuery ? 0x33 : 0x21;
        ASSERT_TRUE(w.wait_for_event(write_of(query), 15, started)) << dump(w);
    }
    const Burst burst = send_burst(w, pid, 50, std::chrono::microseconds(GetParam().gap_us));
    ASSERT_EQ(burst.hangups, 17);
    if (phase != Phase::Waiting) {
        ASSERT_TRUE(w.wait_for_log("BEXOD:  Voltage loss!", 15)) << dump(w);
        w.board().restore_supply();
    }
    wait_until_waiting_again(w);

    EXPECT_TRUE(alive(pid));
    EXPECT_EQ(World::read_file(PID_FILE), std::to_string(pid) + "\n");
    std::vector<std::string> log = well_formed_log(w);
    ASSERT_GE(log.size(), 3u);
    log.erase(log.begin(), log.begin() + 3);  // the start's lines
    size_t sequences = 0;
    expect_losses_and_returns(without_hangups(log, &sequences));
    EXPECT_GE(sequences, 1u);
    EXPECT_LE(sequences, static_cast<size_t>(burst.hangups));
    EXPECT_EQ(stop_sequences_sent(w), sequences) << "each sequence sends 'C' and the record once";
    EXPECT_GE(stop_sequences_sent(w, burst.before_last_hangup), 1u) << "the last SIGHUP was lost\n" << dump(w);
    const PowerOffs done = check_power_offs(w, {"sim-mark one", "sim-mark two"});
    EXPECT_EQ(done.power_offs + done.reboots, 0u);

    expect_orderly_end(w, pid);
}

INSTANTIATE_TEST_SUITE_P(Phases, StormSignalBurst,
                         testing::Values(BurstCase{"WaitingAllAtOnce", Phase::Waiting, 0},
                                         BurstCase{"WaitingSpread", Phase::Waiting, 3000},
                                         BurstCase{"ButtonQuery", Phase::ButtonQuery, 2000},
                                         BurstCase{"Countdown", Phase::Countdown, 2000}),
                         [](const testing::TestParamInfo<BurstCase> &info) { return info.param.name; });

TEST(StormSignalPaced, EachHangupSeenOnItsOwnRunsItsOwnSequence) {
    World w;
    const pid_t pid = start(w, "timer=-1\n");
    ASSERT_GT(pid, 0);
    constexpr size_t HANGUPS = 5;
    for (size_t i = 1; i <= HANGUPS; i++) {
        ASSERT_TRUE(w.signal_daemon(SIGHUP));
        ASSERT_TRUE(w.wait_for([&] { return count(messages(w), HANGUP) == i; }, 15)) << dump(w);
    }
    wait_until_waiting_again(w);
    std::vector<std::string> log = well_formed_log(w);
    log.erase(log.begin(), log.begin() + 3);
    size_t sequences = 0;
    expect_losses_and_returns(without_hangups(log, &sequences));
    EXPECT_EQ(sequences, HANGUPS);
    EXPECT_EQ(stop_sequences_sent(w), HANGUPS);
    expect_orderly_end(w, pid);
}

// A SIGHUP that comes while a sequence pauses after its time record is not
// merged into it: another sequence follows. (On a slow machine it may come
// after the sequence; the count is the same.)
TEST(StormSignalPaced, HangupDuringASequenceRunsAnotherAfterIt) {
    World w;
    const pid_t pid = start(w, "timer=-1\n");
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(w.wait_for_event([](const Event &e) { return e.kind == Kind::GpioValueRead; }, 10));
    const size_t before = w.event_count();
    ASSERT_TRUE(w.signal_daemon(SIGHUP));
    ASSERT_TRUE(w.wait_for_event(write_of(0x54), 10, before)) << dump(w);
    ASSERT_TRUE(w.signal_daemon(SIGHUP));
    ASSERT_TRUE(w.wait_for([&] { return count(messages(w), HANGUP) == 2; }, 15)) << dump(w);
    wait_until_waiting_again(w);
    std::vector<std::string> log = well_formed_log(w);
    log.erase(log.begin(), log.begin() + 3);
    size_t sequences = 0;
    expect_losses_and_returns(without_hangups(log, &sequences));
    EXPECT_EQ(sequences, 2u);
    EXPECT_EQ(stop_sequences_sent(w), 2u);
    expect_orderly_end(w, pid);
}

// The countdown counts interval-timer ticks: pauses cut short by a burst
// neither reset nor shorten it, and it powers off once, when it runs out.
TEST(StormSignalCountdown, BurstDuringCountdownKeepsItsCountAndPowersOffOnce) {
    constexpr int TIMER = 4;
    World w;
    w.sigterm_on_poweroff(true, 3.0);
    const pid_t pid = start(w, "timer=" + std::to_string(TIMER) + "\n");
    ASSERT_GT(pid, 0);
    const size_t started = w.event_count();
    w.board().lose_supply();
    ASSERT_TRUE(w.wait_for_event(write_of(0x21), 15, started)) << dump(w);
    send_burst(w, pid, 50, std::chrono::microseconds(2000));
    ASSERT_TRUE(w.wait_for_log("BEXOD: Received SIGTERM signal.", 60)) << dump(w);
    EXPECT_EQ(w.wait_exit(pid, 10), 0) << dump(w);
    EXPECT_FALSE(World::exists(PID_FILE));

    std::vector<std::string> log = well_formed_log(w);
    log.erase(log.begin(), log.begin() + 3);
    size_t sequences = 0;
    EXPECT_EQ(without_hangups(log, &sequences),
              (std::vector<std::string>{TAKE_OVER, "BEXOD:  Voltage loss!",
                                        "BEXOD:  Received Shutdown Signal through timer expired.", TAKE_OVER,
                                        "BEXOD: Received SIGTERM signal."}));
    EXPECT_GE(sequences, 1u);
    EXPECT_EQ(stop_sequences_sent(w), sequences + 1);  // and the SIGTERM's
    const PowerOffs done = check_power_offs(w, {"sim-mark one", "sim-mark two"});
    EXPECT_EQ(done.power_offs, 1u);
    // 'I' once more than TIMER ticks after the countdown began (at the
    // answer to the first button query).
    const Event answered = reads(w, started).at(0);
    const auto power_off = w.wait_for_event(write_of(0x49), 0, started);
    ASSERT_TRUE(power_off);
    EXPECT_GE(gap(answered, *power_off), TIMER + 1 - 0.1);
}

// A SIGTERM amid a burst: the daemon ends there, with status 0, its one
// SIGTERM sequence and nothing after it.
TEST(StormSignalTerminate, SigtermAmidABurstEndsTheDaemonOnce) {
    World w;
    const pid_t pid = start(w, "timer=-1\n");
    ASSERT_GT(pid, 0);
    w.board().lose_supply();
    ASSERT_TRUE(w.wait_for_event(write_of(0x21), 15)) << dump(w);
    send_burst(w, pid, 25, std::chrono::microseconds(1000));
    ASSERT_TRUE(w.send_signal(pid, SIGTERM));
    for (int i = 0; i < 25; i++) w.send_signal(pid, i % 2 ? SIGHUP : SIGINT);  // it may be gone already
    expect_terminated(w, pid);
    EXPECT_EQ(shim_calls(w).back(), "sudo rm -r /var/run/bexod.pid");
    EXPECT_EQ(count(shim_calls(w), "sudo rm -r /var/run/bexod.pid"), 1u);
    const PowerOffs done = check_power_offs(w, {"sim-mark one", "sim-mark two"});
    EXPECT_EQ(done.power_offs, 0u);
}

}  // namespace

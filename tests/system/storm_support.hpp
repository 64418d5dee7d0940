// SPDX-License-Identifier: GPL-2.0-or-later
// Shared by the storm tests: what must hold after any abuse of bexod, and
// bursts of signals sent from the test process.
#pragma once

#include <signal.h>

#include <chrono>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/system/daemon_support.hpp"

namespace storm_test {

using namespace daemon_test;

// Every message the daemon writes to its event log, without its line end.
inline const std::set<std::string> &daemon_messages() {
    static const std::set<std::string> known{
        "BEXOD:  Activating time controlled boot!",
        "BEXOD:  Unable to export GPIO",
        "BEXOD:  Set GPIO to input",
        "BEXOD: Entering Daemon BEXO.",
        "BEXOD:  Set GPIO to output",
        "BEXOD:  Unable to change to output",
        "BEXOD:  Unable to set output high",
        "BEXOD:  Unable to change to input",
        "BEXOD:  Unable to select I2C device",
        "BEXOD:  i2c-Request timed out ",
        "BEXOD:  Received manual Shutdown signal!",
        "BEXOD:  Received manual Reboot signal!",
        "BEXOD:  Voltage loss!",
        "BEXOD:  Sending Mail notification!",
        "BEXOD:  timer error",
        "BEXOD: Received Shutdown signal through low battery capacity.",
        "BEXOD:  Voltage present!",
        "BEXOD:  Received Shutdown Signal through timer expired.",
        "BEXOD:  Shutdown through timed shutdown - timer expired!",
        "BEXOD: Received SIGHUP signal.",
        "BEXOD: Received SIGTERM signal.",
        "BEXOD:  The system did not go down; watching the board again",
        "BEXOD:  \"sudo systemctl poweroff\" failed with exit status 1",
        "BEXOD:  \"sudo systemctl reboot\" failed with exit status 1",
    };
    return known;
}

inline const std::vector<std::string> POWER_OFF_REASONS{
    "BEXOD:  Received manual Shutdown signal!",
    "BEXOD: Received Shutdown signal through low battery capacity.",
    "BEXOD:  Received Shutdown Signal through timer expired.",
    "BEXOD:  Shutdown through timed shutdown - timer expired!",
};

inline size_t count_of(const std::vector<std::string> &log, const std::vector<std::string> &items) {
    size_t n = 0;
    for (const std::string &item : items) n += count(log, item);
    return n;
}

// One entry per line: each line carries one stamp and one known message
// (each message ends with its own line end, so two entries sharing a line
// or an entry cut short shows as an unknown message), and the file ends
// with a line end. Returns the messages.
inline std::vector<std::string> well_formed_log(const World &w) {
    const std::string text = w.log();
    EXPECT_TRUE(text.empty() || text.back() == '\n') << "last entry cut:\n" << text;
    std::vector<std::string> out;
    for (const std::string &line : lines(text)) {
        EXPECT_TRUE(has_entry_stamp(line)) << "line without its stamp: '" << line << "'";
        const std::string message = line.size() >= STAMP_LENGTH ? line.substr(STAMP_LENGTH) : line;
        EXPECT_TRUE(daemon_messages().count(message)) << "not a message of the daemon: '" << line << "'";
        out.push_back(message);
    }
    return out;
}

// What a run of the daemon did towards powering the system off.
struct PowerOffs {
    size_t power_offs = 0;  // "sudo systemctl poweroff" calls
    size_t reboots = 0;     // "sudo systemctl reboot" calls
};

// The accounting every storm must keep: one power-off decision per logged
// power-off reason, the user commands exactly once before the first request
// of each (and never elsewhere; a refused request is asked again without
// them), one 'I' per low battery or countdown expiry, one reboot per reboot
// button. Notify commands ("sim-mark notify ...") are not user commands.
inline PowerOffs check_power_offs(const World &w, const std::vector<std::string> &user_calls) {
    const std::vector<std::string> log = well_formed_log(w);
    PowerOffs seen;
    std::vector<std::string> since_last;
    bool asked_before = false;
    for (const std::string &call : shim_calls(w)) {
        if (call == "sudo systemctl poweroff") {
            if (!asked_before || !since_last.empty() || user_calls.empty()) {
                EXPECT_EQ(since_last, user_calls) << "user commands before power-off " << seen.power_offs + 1 << "\n"
                                                  << dump(w);
                seen.power_offs++;
            }
            since_last.clear();
            asked_before = true;
        } else if (call == "sudo systemctl reboot") {
            seen.reboots++;
            asked_before = false;
        } else if (call.rfind("sim-mark", 0) == 0 && call.rfind("sim-mark notify", 0) != 0) {
            since_last.push_back(call);
        }
    }
    EXPECT_TRUE(since_last.empty()) << "user commands without a power-off\n" << dump(w);
    EXPECT_EQ(seen.power_offs, count_of(log, POWER_OFF_REASONS)) << dump(w);
    EXPECT_EQ(seen.reboots, count(log, "BEXOD:  Received manual Reboot signal!")) << dump(w);
    const Bytes sent = w.commands();
    EXPECT_EQ(static_cast<size_t>(std::count(sent.begin(), sent.end(), 0x49)),
              count(log, "BEXOD: Received Shutdown signal through low battery capacity.") +
                  count(log, "BEXOD:  Received Shutdown Signal through timer expired."))
        << dump(w);
    return seen;
}

// Stop sequences that sent 'C' and, right after it, the time record (the
// daemon runs with timed_boot=1): the SIGHUP ones, and the SIGTERM one.
inline size_t stop_sequences_sent(const World &w, size_t from = 0) {
    const Bytes sent = w.commands(from);
    size_t n = 0;
    for (size_t i = 0; i + 1 < sent.size(); i++)
        if (sent[i] == 0x43 && sent[i + 1] == 0x54) n++;
    return n;
}

// After a SIGTERM: the stop sequence once, status 0, the PID file gone.
inline void expect_terminated(World &w, pid_t pid) {
    EXPECT_EQ(w.wait_exit(pid, 30), 0) << dump(w);
    EXPECT_FALSE(World::exists(PID_FILE));
    const std::vector<std::string> log = well_formed_log(w);
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back(), "BEXOD: Received SIGTERM signal.");
    EXPECT_EQ(count(log, "BEXOD: Received SIGTERM signal."), 1u);
}

inline void expect_orderly_end(World &w, pid_t pid) {
    ASSERT_TRUE(alive(pid)) << "the daemon ended before its SIGTERM\n" << dump(w);
    ASSERT_TRUE(w.send_signal(pid, SIGTERM));
    expect_terminated(w, pid);
}

// Signals of a burst, in the order sent.
struct Burst {
    int hangups = 0;
    size_t before_last_hangup = 0;  // record index just before the last SIGHUP
};

// `n` signals in quick succession, `gap` apart: SIGHUP, SIGINT, SIGQUIT in
// turn, or only SIGINT and SIGQUIT.
inline Burst send_burst(World &w, pid_t pid, int n, std::chrono::microseconds gap = {},
                        bool with_hangups = true) {
    static const int mixed[] = {SIGHUP, SIGINT, SIGQUIT};
    static const int quiet[] = {SIGINT, SIGQUIT};
    Burst b;
    for (int i = 0; i < n; i++) {
        const int sig = with_hangups ? mixed[i % 3] : quiet[i % 2];
        if (sig == SIGHUP) {
            b.hangups++;
            b.before_last_hangup = w.event_count();
        }
        EXPECT_TRUE(w.send_signal(pid, sig)) << "signal " << i;
        if (gap.count() > 0) std::this_thread::sleep_for(gap);
    }
    return b;
}

}  // namespace storm_test

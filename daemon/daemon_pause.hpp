// SPDX-License-Identifier: GPL-2.0-or-later
// The daemon's one waiting place: every pause, the pause between cycles
// with the NUT readings that fall due in it, hostsync, the wait for a shell
// command, for the old daemon of a -restart and for the bus go through here,
// and here the stop signals that signal_handler notes have their sequences
// run, in the main flow.
#pragma once

#include <cstdint>
#include <ctime>

#include "common/hw/ups_protocol.hpp"

// Installs signal_handler for SIGHUP, SIGTERM, SIGINT and SIGQUIT. The next
// pause runs `on_hangup` for a SIGHUP and `on_terminate`, which ends the
// process, for a SIGTERM.
void daemon_catch_signals(void (*on_hangup)(void), void (*on_terminate)(void));

// It only notes SIGHUP and SIGTERM; SIGINT and SIGQUIT merely cut a pause
// short.
void signal_handler(int signal_number);

// Pauses, cut short by any caught signal; then runs the sequence of a
// SIGHUP or SIGTERM that arrived (SIGTERM ends the process there).
void daemon_pause(unsigned microseconds);
void daemon_pause_seconds(uint32_t seconds);
// The same, whole: a signal (the countdown's tick each second among them)
// only interrupts it while the pause runs any stop sequence that arrived.
void daemon_pause_whole(unsigned microseconds);

// The pause between two monitoring cycles: `seconds`, with the NUT
// readings that fall due inside it. Ends early when a signal cuts it short,
// or when the board raises the event line while its edge is watched. After
// a look that such an edge woke for nothing, it goes on to the end of the
// pause the edge cut short instead, without watching the line.
void daemon_idle(uint32_t seconds);
// The same pause with its readings, whole, and blind to the line: for the
// wait for the system to go down, when no cycle reads the line.
void daemon_idle_whole(uint32_t seconds);

// NUT's secondaries' time to shut down before the board is told to power
// off. NUT's primary cannot see their logins either: nothing ends it early.
void daemon_hostsync(uint32_t seconds);

// Pauses a second at a time until `done` or `seconds` have passed on the
// monotonic clock (signals cut the pauses short). Returns whether `done`.
bool daemon_wait_for(bool (*done)(void), uint32_t seconds);

inline constexpr int64_t NS_PER_US = 1000;
inline constexpr int64_t NS_PER_MS = 1000000;
inline constexpr int64_t NS_PER_S = 1000000000;

// The clock that signals, pauses cut short and changes of the time of day
// do not disturb, in nanoseconds and in whole seconds.
int64_t monotonic_ns(void);
time_t monotonic_seconds(void);

// How the daemon's own transfers wait: through daemon_pause, and for
// another process's hold on the bus only briefly before going ahead.
extern const ups_waiting daemon_waiting;
// How readings for NUT wait: whole pauses, and for the bus only briefly,
// then they give their turn up or, behind a holder that has stalled the
// bus, go ahead as the daemon's own transfers do.
extern const ups_waiting reading_waiting;
extern const ups_waiting reading_waiting_going_ahead;

// Runs a shell command with creation mask 022 and waits for it; a stop
// signal that arrives meanwhile has its sequence run at once. Returns the
// command's wait status, as system() does, or -1.
int run_shell(const char *command);

// For a child process that is to run a command: the usual creation mask
// (not the daemon's own 0), no blocked signals, and neither the bus
// descriptor nor the line's value file, so that the bus and its lock stay
// the daemon's however long the command runs.
void leave_daemon_for_command(void);

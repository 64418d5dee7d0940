// SPDX-License-Identifier: GPL-2.0-or-later
// What the daemon does when the computer is to go down or the daemon itself
// is stopped, and the signal handling that leads there.
#pragma once

#include <cstdint>
#include <ctime>

#include "common/hw/ups_protocol.hpp"

// Installed for SIGHUP, SIGTERM, SIGINT and SIGQUIT. It only notes SIGHUP
// and SIGTERM; the main flow runs their sequences at its next pause.
void signal_handler(int signal_number);

// Pauses, cut short by any caught signal; then runs the sequence of a
// SIGHUP or SIGTERM that arrived (SIGTERM ends the process there).
void daemon_pause(unsigned microseconds);
void daemon_pause_seconds(uint32_t seconds);

// Seconds on the clock that signals, pauses cut short and changes of the
// time of day do not disturb.
time_t monotonic_seconds(void);

// How the daemon's own transfers wait: through daemon_pause, and for
// another process's hold on the bus only briefly before going ahead.
extern const ups_waiting daemon_waiting;

// Sends a command that starts an action on the board and gives it time.
// Returns the write's result (0, or -1 with errno when the board did not
// take it).
int send_action(uint8_t command);

// Runs a shell command with creation mask 022 and waits for it; a stop
// signal that arrives meanwhile has its sequence run at once. Returns the
// command's wait status, as system() does, or -1.
int run_shell(const char *command);

void user_shutdown(void);
void time_shutdown(void);
// User commands, time record, "sudo systemctl poweroff".
void power_off_sequence(void);
// "sudo systemctl reboot".
void reboot_system(void);
// True while a power-off or reboot that the system accepted (status 0) is
// on its way: the daemon then only waits for the system to stop it.
bool awaiting_system_stop(void);
// True once, when that wait has lasted so long that the system is not going
// down after all (a cancelled shutdown): the daemon is to watch again.
bool system_stop_never_came(void);

// Take GPIO line 27 over from the board (output, high) or hand it back.
// A failure is logged and ends the process with status 1.
void gpio_change_out(void);
void gpio_change_in(void);

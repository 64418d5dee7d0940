// SPDX-License-Identifier: GPL-2.0-or-later
// What the daemon does when the computer is to go down or the daemon itself
// is stopped: the power-off and reboot sequences, the stop sequences of
// SIGHUP and SIGTERM, and the line routines that take GPIO line 27 over from
// the board and hand it back.
#pragma once

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

// The stop sequences, run at the pause after the signal arrived: both take
// the line over and tell the board; SIGTERM then removes the PID file and
// ends the process with status 0.
void hangup_sequence(void);
[[noreturn]] void terminate_sequence(void);

// Take GPIO line 27 over from the board (output, high) or hand it back.
// A failure is logged and ends the process with status 1.
void gpio_change_out(void);
void gpio_change_in(void);

// SPDX-License-Identifier: GPL-2.0-or-later
// What the daemon does when the computer is to go down or the daemon itself
// is stopped: the one power-off path, the reboot, and the stop sequences of
// SIGHUP and SIGTERM.
#pragma once

// Why the daemon powers the computer off.
enum power_off_reason {
    OFF_SHUTDOWN_BUTTON,
    OFF_LOW_BATTERY,
    OFF_COUNTDOWN_EXPIRED,
    OFF_DAILY_TIME,
};

// The one way the daemon powers off, in this order: the reason's log line,
// its notifications, the NUT status, hostsync, 'I' (low battery and an
// expired countdown only), the user commands, the time record and the
// request to the system; then the wait for the system to stop the daemon.
// The decision stands: a refused request is asked again about every 10 s,
// an accepted one that is not carried out after 180 s. Returns only when a
// low-battery or countdown decision ends because the supply came back; the
// caller then takes the supply-restored path.
void power_off(power_off_reason reason);

// The reboot button: its log line and the request, which publishes nothing
// new and waits for no hostsync. A reboot the system refused, or did not
// carry out within 180 s, is never a power-off: the daemon tells the board
// it watches again, hands the line back and returns.
void reboot_system(void);

void user_shutdown(void);
void time_shutdown(void);

// The stop sequences, run at the pause after the signal arrived: both take
// the line over and tell the board; SIGTERM then removes the PID file and
// ends the process with status 0.
void hangup_sequence(void);
[[noreturn]] void terminate_sequence(void);

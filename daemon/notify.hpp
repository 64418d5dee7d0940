// SPDX-License-Identifier: GPL-2.0-or-later
// Notifications the way NUT's upsmon sends them: with [Notify] command set,
// the daemon runs that command for each event, with NUT's message as its one
// argument and NOTIFYTYPE and UPSNAME=bexo in its environment, so that a
// NOTIFYCMD script written for NUT works unchanged. The command runs
// detached and is never waited for, as [Notify] user (nobody unless set),
// as upsmon runs it as its own unprivileged user. Without a command every
// function here does nothing.
#pragma once

enum notify_type {
    NOTIFY_ONBATT,    // the supply was lost
    NOTIFY_ONLINE,    // the supply is back
    NOTIFY_LOWBATT,   // the board reports a low battery
    NOTIFY_FSD,       // the daemon decided to power off
    NOTIFY_SHUTDOWN,  // the daemon asks the system to power off or reboot
    NOTIFY_COMMBAD,   // the board failed to answer three times in a row
    NOTIFY_COMMOK,    // ... and answers again
};

// Reads section Notify: command (empty or missing: no notifications; one
// too long to hold is never run, and each event says so in the log) and
// user, looked up in the system's passwd and group files (a user that
// cannot be used leaves the command unrun; each event says so too).
void notify_read_settings(void);

// Starts the command for `type` and returns once it runs; its output goes
// to the journal (identifier bexod-notify), or nowhere without one. It runs
// with the user's ids and groups and its HOME, USER and LOGNAME; as root
// with the daemon's environment for user root.
void notify_event(notify_type type);

// The result of one of the daemon's queries or NUT readings: three failures
// in a row send COMMBAD, the next answer after them COMMOK.
void notify_board_answered(bool answered);

// The daemon ends on a fatal error: nothing watches the board any more, so
// COMMBAD goes out, as NUT's upsmon sends it when it loses the UPS (unless
// it already went out for the failures that led here).
void notify_fatal_exit(void);

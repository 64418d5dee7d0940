// SPDX-License-Identifier: GPL-2.0-or-later
// The board's state for Network UPS Tools: with [NUT] export=1 the daemon
// reads the board every `interval` seconds and on the events it acts on, and
// replaces the NUT file in the daemon's run-time folder, a file in the
// format of NUT's dummy-ups driver. This module only reads the board and
// writes the file; when it waits is daemon_pause's. With export off every
// function here does nothing.
#pragma once

#include <sys/types.h>

#include <cstdint>

// Reads section NUT: export, interval and hostsync (their defaults and
// ranges are in the settings table).
void nut_export_read_settings(void);

// The file exists only while a running daemon has a current reading.
// This process is about to start the daemon: a file an earlier run left is
// removed (unless a -restart left it for this start), and from here on
// every exit of the process that owns the file removes it.
void nut_export_start(void);
// Only process `daemon` removes the file when it ends: the forked daemon,
// not the invocation that forked it.
void nut_export_owned_by(pid_t daemon);
// While the system has been asked to power off or reboot, the daemon's end
// leaves the file as it is (/run does not outlive the power-off); a request
// the system refused takes that back.
void nut_export_keep_at_exit(bool keep);
// A -restart is about to stop daemon `old`: it leaves the file for the new
// daemon, which rewrites it. Should no new daemon take it over before this
// invocation ends, the file goes.
void nut_export_restart_begins(pid_t old);

// When the next reading falls due, on the monotonic clock in nanoseconds:
// 0 at once, negative never (export off).
int64_t nut_export_reading_due_at(void);
int32_t nut_export_interval_seconds(void);
// Reads the board and rewrites the file, when a reading is due.
void nut_export_take_due_reading(void);
// [NUT] hostsync, 0 with export off.
int32_t nut_export_hostsync_seconds(void);

// One pass of a supply-loss countdown: a reading when one is due, and the
// seconds left while a countdown is armed.
void nut_export_countdown(bool armed, int32_t seconds_left);

// Events the daemon acts on. Each rewrites the file at once with the new
// status and the last readings; a fresh reading follows at the next pass.
void nut_export_supply_lost(void);
void nut_export_supply_restored(void);
// The daemon decided to power off: for a low battery "OB LB DISCHRG", for
// any other reason on battery "FSD OB DISCHRG", from here until the daemon
// ends; on mains nothing new. True when LB or FSD went out, so that NUT's
// secondaries are to be given their hostsync.
bool nut_export_power_off_decided(bool low_battery);
// A power-off or reboot the system never carried out: the daemon watches
// again, and the file says what a fresh reading says, without FSD.
void nut_export_resume(void);

// SPDX-License-Identifier: GPL-2.0-or-later
// The board's state for Network UPS Tools: with [NUT] export=1 the daemon
// reads the board every `interval` seconds and on the events it acts on, and
// replaces the NUT file in the daemon's run-time folder, a file in the
// format of NUT's dummy-ups driver. With export off every function here does
// nothing but what the daemon did without it.
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
// The daemon ends while a power-off or reboot it asked for is on its way:
// the file stays and keeps saying so (/run does not outlive the power-off).
void nut_export_keep_at_exit(void);
// A -restart is about to stop daemon `old`: it leaves the file for the new
// daemon, which rewrites it. Should no new daemon take it over before this
// invocation ends, the file goes.
void nut_export_restart_begins(pid_t old);

// The pause between two monitoring cycles: `seconds` as daemon_pause_seconds
// makes it, with the readings that fall due inside it. Ends early, like the
// plain pause, when a signal cuts it short.
void nut_export_idle(uint32_t seconds);

// One pass of a supply-loss countdown: a reading when one is due, and the
// seconds left while a countdown is armed.
void nut_export_countdown(bool armed, int32_t seconds_left);

// Events the daemon acts on. Each rewrites the file at once with the new
// status and the last readings; a fresh reading follows at the next pass.
void nut_export_supply_lost(void);
void nut_export_supply_restored(void);
// Low battery or an expired countdown: "FSD OB LB" at once, then the
// hostsync wait that gives NUT's secondaries time to shut down before the
// board is told to power off.
void nut_export_power_off_decided(void);
// A power-off or reboot the system never carried out: the daemon watches
// again, and the file says what a fresh reading says, without FSD.
void nut_export_resume(void);

// SPDX-License-Identifier: GPL-2.0-or-later
// The board's state for Network UPS Tools: with [NUT] export=1 the daemon
// reads the board every `interval` seconds and on the events it acts on, and
// replaces /run/bexod/bexo.dev, a file in the format of NUT's dummy-ups
// driver. With export off every function here does nothing but what the
// daemon did without it.
#pragma once

#include <cstdint>

inline constexpr char NUT_EXPORT_DIR[] = "/run/bexod";
inline constexpr char NUT_EXPORT_FILE[] = "/run/bexod/bexo.dev";

// Reads section NUT: export (on only for 1) and interval (default 10,
// at least 2).
void nut_export_read_settings(void);

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
// Low battery or an expired countdown: "OB LB" before the user commands run.
void nut_export_power_off_decided(void);

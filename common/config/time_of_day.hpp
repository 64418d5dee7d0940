// SPDX-License-Identifier: GPL-2.0-or-later
// The time-of-day texts of the configuration file (time_boot, time_shutdown):
// the tool stores only what passes this check, and the daemon names a
// hand-typed one that does not.
#pragma once

// 0 for a valid "HH:mm:ss" (hours 00 to 24), -1 otherwise.
int validate(const char *text);

// SPDX-License-Identifier: GPL-2.0-or-later
// One monitoring cycle: the board's event line, its buttons, a supply loss
// followed second by second, and the daily shutdown time.
#pragma once

// Returns 0, or 1 when the countdown timer could not be started.
int process(void);

// The countdown's interval-timer callback: one more second of supply loss.
void timer_handler(void);

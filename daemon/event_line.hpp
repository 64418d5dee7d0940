// SPDX-License-Identifier: GPL-2.0-or-later
// GPIO line 27, on which the board raises its events: claimed at start,
// read each cycle, taken over by the daemon (output, driven high) while it
// handles an event or stops, and handed back to the board (input).
#pragma once

// Exports the line afresh and makes it an input; a line that cannot be
// exported ends the process with status 1.
void event_line_claim(void);

// True when the line reads exactly 1: the board has raised an event (or
// the daemon drives it high itself). A line that cannot be read is none.
bool event_line_raised(void);

// Take the line over from the board (output, high) or hand it back. The
// names are part of the daemon's fixed interface. A failure is logged and
// ends the process with status 1.
void gpio_change_out(void);
void gpio_change_in(void);

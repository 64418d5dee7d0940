// SPDX-License-Identifier: GPL-2.0-or-later
// GPIO line 27, on which the board raises its events: claimed at start,
// read each cycle, taken over by the daemon (output, driven high) while it
// handles an event or stops, and handed back to the board (input). Where
// the kernel gives the line an interrupt, its rising edge is armed and its
// value file held open, so that the cycle's wait can end when the board
// raises the line instead of at the next periodic look.
#pragma once

// Exports the line afresh, makes it an input and arms its rising edge (a
// kernel that refuses the edge leaves only the periodic look, silently); a
// line that cannot be exported ends the process with status 1.
void event_line_claim(void);

// True when the line reads exactly 1: the board has raised an event (or
// the daemon drives it high itself). A line that cannot be read is none.
// Each look reads through the held value file, which also takes note of
// the edge that woke the wait.
bool event_line_raised(void);

// The descriptor the cycle's wait watches for POLLPRI, or -1: only while
// the line is the board's, its edge armed, and edges trusted. A look woken
// by an edge that finds nothing (a floating or chattering line) stops
// trusting them until the next look that no edge started.
int event_line_edge_descriptor(void);
bool event_line_edges_trusted(void);
// The cycle's wait ended on that descriptor: the next look is the edge's.
void event_line_edge_woke(void);

// In a child that is to run a command: the value file is the daemon's.
void event_line_leave_to_command(void);

// Take the line over from the board (output, high) or hand it back. The
// names are part of the daemon's fixed interface. A failure is logged and
// ends the process with status 1.
void gpio_change_out(void);
void gpio_change_in(void);

// SPDX-License-Identifier: GPL-2.0-or-later
// The daemon's one link to the board: every request it sends and every
// reply it reads goes through here, with the protocol's pauses and the
// daemon's bounded wait for the bus.
#pragma once

#include <cstdint>

#include "common/hw/ups_protocol.hpp"

// Opens the bus to the board at `address` (a failure ends the process) and
// tells the board the daemon watches it ('D'). False when the board did
// not take that: errno tells why.
bool board_open(void);

// Sends a command that starts an action on the board and gives it time.
// Returns the write's result (0, or -1 with errno when the board did not
// take it).
int board_send(uint8_t command);

// 'C' with no pause after it: the stop sequences send the time record
// first. Nothing when the bus is not open yet.
void board_alert_at_stop(void);

// The time record in buffer_out, then its pause.
void board_send_time_record(void);

// The board says the supply is present: its answer to 'P' is 1.
bool board_supply_present(void);

// Asks until the board echoes the command, one attempt a second. False
// when it never does: that counts as nothing to report. A run of failed
// reads ends the process with status 1.
bool board_query(uint8_t command);

// One exchange of a reading for NUT: a board that does not echo is asked
// twice more, a failed read gives it up at once, and the bus is waited for
// only briefly, then given up or, with `go_ahead`, used all the same.
ups_result board_read(uint8_t command, bool go_ahead);

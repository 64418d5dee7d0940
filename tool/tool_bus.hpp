// SPDX-License-Identifier: GPL-2.0-or-later
// The control tool's side of the board protocol: its bus state and the
// exchanges that end the run when the board cannot be read or never echoes.
#pragma once

#include <cstdint>

#include "common/hw/ups_protocol.hpp"

extern uint8_t address;  // the board's bus address, from the configuration
extern int fd;           // bus descriptor opened at start, kept for the whole run
extern int model;        // model code of the last identity reply (0 at start)

// One echo-checked exchange on the start descriptor, the command in a plain
// write (a parameter goes in buffer_out[1] beforehand). A failed read prints
// "Unable to select I2C device" and ends with status 1; no echo after
// retry_limit retries prints "i2c-Request timed out " and ends with
// timeout_status.
void tool_exchange(uint8_t command, ups_pacing pacing, int retry_limit, int timeout_status);

// The identity exchange, on a descriptor of its own, with an SMBus byte write.
void tool_identity_exchange(void);

// A request without a reply, in one plain write on the start descriptor:
// the command and its parameter bytes from buffer_out[1...].
void tool_send(uint8_t command);

void tool_pause(unsigned microseconds);

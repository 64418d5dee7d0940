// SPDX-License-Identifier: GPL-2.0-or-later
// The daemon's guard against a hand-typed bexo.cfg: a check of the whole
// file, by the rows of the settings table, that names every section, key or
// value the daemon would not read, or would read otherwise than written.
#pragma once

#include <cstdint>

#include "common/config/settings_table.hpp"

// Hands `report` one line ("BEXOD:  Configuration FILE ...\n") for each
// problem of the file: one that is no regular file, cannot be read or holds
// no settings; a byte-order mark; an unknown or repeated section; an unknown
// or repeated key in a section the daemon reads; a value it cannot read, one
// outside its range and one too long to hold, each with what is used
// instead; a missing address. Returns the number of lines.
int config_check_file(const char *filename, void (*report)(const char *line));

// Logs at level error that the command of setting `id`, `length` bytes
// long, is not run: the daemon cannot hold it whole.
void config_log_unused_command(setting_id id, int32_t length);

// SPDX-License-Identifier: GPL-2.0-or-later
// The daemon's guard against a hand-typed bexo.cfg: numbers are taken only
// when the 32-bit reading takes them whole, and a check of the whole file
// names every section, key or value that would be misread or not read.
#pragma once

#include <cstdint>

enum config_number { CONFIG_NUMBER_READ, CONFIG_NUMBER_EMPTY, CONFIG_NUMBER_UNREADABLE };

// Reads `text` as ini_getl does (base 16 when its second byte is x or X,
// else base 10), but only when that reading takes every byte of it and its
// value fits 32 bits; the value goes to *value.
config_number config_parse_number(const char *text, int32_t *value);

// The integer `key` of `section`, or `missing` when the key is missing or
// empty, or holds a number the reading cannot take whole (*unreadable, when
// given, tells that last case).
int32_t config_read_integer(const char *section, const char *key, int32_t missing,
                            const char *filename, bool *unreadable = nullptr);

// Hands `report` one line ("BEXOD:  Configuration FILE ...\n") for each
// problem of the file: a file that cannot be read, an unknown or repeated
// section, an unknown or repeated key in a section the daemon reads, a
// number it cannot take whole, a time that is not HH:mm:ss. Returns the
// number of lines.
int config_check_file(const char *filename, void (*report)(const char *line));

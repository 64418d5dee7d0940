// SPDX-License-Identifier: GPL-2.0-or-later
// INI engine shared by both programs: one question or one change per call,
// each call opens, scans and closes the file, nothing is cached.
#pragma once

#include <cstdint>

// Reads the value of `key` in `section` (null or empty: the keys before the
// first section header) into `buffer`, or `default_value` (null: empty text)
// when the file or the key is missing. Returns the length left in `buffer`.
int ini_gets(const char *section, const char *key, const char *default_value, char *buffer,
             int buffer_size, const char *filename);

// Reads the value as a 32-bit integer (base 16 when its second byte is x or
// X, else base 10; saturating), or `default_value` when it is missing or empty.
int32_t ini_getl(const char *section, const char *key, int32_t default_value, const char *filename);

// Sets `key` to `value`, deletes the key (`value` null) or the whole section
// (`key` null), keeping every other byte of the file. Returns 1 when done or
// nothing was to be done, 0 when the file could not be written (it is then
// unchanged), INI_PUT_UNSYNCED when the new file is in place but its folder
// could not be synced, so the change might not survive a power cut.
int ini_puts(const char *section, const char *key, const char *value, const char *filename);
inline constexpr int INI_PUT_UNSYNCED = 2;

// Whether ini_puts could write the request as lines of their own: no line
// break in the names or the value, and a header and key line that fit the
// engine's line buffer.
enum ini_value_check { INI_VALUE_OK, INI_VALUE_LINE_BREAK, INI_VALUE_TOO_LONG };
ini_value_check ini_check_value(const char *section, const char *key, const char *value);

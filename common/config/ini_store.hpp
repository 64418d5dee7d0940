// SPDX-License-Identifier: GPL-2.0-or-later
// INI engine shared by both programs: one question or one change per call,
// each call opens, scans and closes the file, nothing is cached.
#pragma once

#include <cstdint>

// A line is read in pieces of at most INI_LINE_SIZE - 1 bytes, so no value
// is longer than that.
inline constexpr int INI_LINE_SIZE = 512;

// Reads the value of `key` in `section` (null or empty: the keys before the
// first section header) into `buffer`, or `default_value` (null: empty text)
// when the file or the key is missing. Returns the length left in `buffer`.
int ini_gets(const char *section, const char *key, const char *default_value, char *buffer,
             int buffer_size, const char *filename);

// Reads the value as a 32-bit integer (base 16 when its second byte is x or
// X, else base 10; saturating), or `default_value` when it is missing or empty.
int32_t ini_getl(const char *section, const char *key, int32_t default_value, const char *filename);

// One line of the file as the look-ups classify it, handed out by ini_walk.
enum ini_line_kind {
    INI_LINE_SECTION,       // a header; `name` is the text between "[" and the first "]"
    INI_LINE_OPEN_SECTION,  // "[" without "]": it ends a section and starts none;
                            // `name` is the text after the "["
    INI_LINE_KEY,           // a key line; `name` is the key, `value` the value as ini_gets reads it
    // A UTF-8 byte-order mark before line 1, which every look-up passes over;
    // `name` is null.
    INI_LINE_BYTE_ORDER_MARK,
};
struct ini_line {
    ini_line_kind kind;
    int number;  // the line's number in the file, from 1
    const char *name;
    const char *value;  // key lines only, null otherwise
};

// Hands every header and key line of the file to `visit`, in file order;
// comments and lines without data are passed over, and the pieces of a line
// longer than the line buffer are taken one by one, as the look-ups take
// them. Returns 0 when the file cannot be opened (errno tells why), else 1.
// Like every call here it reads only a regular file, and never blocks on
// opening one that is not.
int ini_walk(const char *filename, void (*visit)(const ini_line *line, void *context),
             void *context);

// Sets `key` to `value`, deletes the key (`value` null) or the whole section
// (`key` null), keeping every other byte of the file. A file reached through
// symbolic links is replaced where it is, beside itself, and the links stay;
// a link to no file is refused. Returns 1 when done or
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

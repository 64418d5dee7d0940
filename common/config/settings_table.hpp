// SPDX-License-Identifier: GPL-2.0-or-later
// Every setting of bexo.cfg in one table, one row each: its section and key,
// its kind and range, the value used when it is missing or cannot be read,
// and what is used in place of a value outside the range. The daemon reads
// its settings through it, bexo reads the same values for its status box and
// judges the words it stores by it, and bexod -check judges the file by it,
// so that all three take every value alike.
#pragma once

#include <cstdint>

enum setting_id {
    // [General]: read by the daemon once at start, in this order.
    SETTING_TIMER,
    SETTING_AUTOSTART,
    SETTING_SLEEP,
    SETTING_ADDRESS,
    SETTING_MAIL,
    SETTING_TIMED_BOOT,
    SETTING_TIME_BOOT,
    SETTING_TIMED_SHUTDOWN,
    SETTING_TIME_SHUTDOWN,
    // [User]: read again before every power-off; run in this order.
    SETTING_COMMAND1,
    SETTING_COMMAND2,
    SETTING_COMMAND3,
    SETTING_COMMAND4,
    SETTING_COMMAND5,
    // [NUT] and [Notify]: read once at start.
    SETTING_NUT_EXPORT,
    SETTING_NUT_INTERVAL,
    SETTING_NUT_HOSTSYNC,
    SETTING_NOTIFY_COMMAND,
    SETTING_NOTIFY_USER,
    SETTING_COUNT
};

enum setting_kind {
    KIND_NUMBER,   // a whole 32-bit number
    KIND_FLAG,     // 0 or 1; on only for 1
    KIND_ADDRESS,  // a 7-bit I2C address; the daemon uses the number's low 8 bits
    KIND_TIME,     // a time of day, HH:mm:ss
    KIND_TEXT,     // any text: a shell command, a user's name
};

// What is used in place of a value outside the range.
enum setting_outside {
    OUTSIDE_CLAMPED,   // the nearer end of the range
    OUTSIDE_MISSING,   // the value of a missing key (a text: not used at all)
    OUTSIDE_LOW_BYTE,  // the number's low 8 bits, which the kernel may refuse
    OUTSIDE_WRITTEN,   // the number as written: a switch is on only for 1, off for any
                       // other number, which bexo does not store but the daemon takes
};

// What the daemon does with a value it cannot read.
enum setting_unreadable {
    UNREADABLE_MISSING,     // takes the value of a missing key
    UNREADABLE_KEEPS_UNIT,  // takes it, but leaves the service unit as it is
    UNREADABLE_AS_WRITTEN,  // uses the text all the same (a time's fields, read like atoi)
};

struct setting_row {
    const char *section;
    const char *key;
    setting_kind kind;
    int32_t lowest;  // numbers: the range of the value; texts and times: of its length
    int32_t highest;
    int32_t missing;           // numbers: the value of a missing or empty key
    const char *missing_text;  // texts and times: the same
    setting_outside outside;
    setting_unreadable unreadable;
    bool required;  // the daemon cannot work without it: a missing key is a problem
};

const setting_row &setting_of(setting_id id);

// The row of `key` in `section` (names in any case), or SETTING_COUNT.
setting_id setting_find(const char *section, const char *key);

struct setting_section {
    const char *name;
    bool keys_are_ours;  // false for [Mail], whose keys the mail script reads
};

// The known section `name` (any case), or null.
const setting_section *setting_section_of(const char *name);

// How a value reads, as the daemon takes it.
enum setting_state {
    SETTING_READ,        // as written
    SETTING_MISSING,     // no key, an empty value, no file: the missing value
    SETTING_UNREADABLE,  // no whole number, or no HH:mm:ss time: as the row says
    SETTING_OUTSIDE,     // a number outside the range: as the row says
    SETTING_TOO_LONG,    // a text longer than the row allows: the missing text
};

struct setting_value {
    setting_state state;
    int32_t written;  // numbers: the number as written, else the missing value
    int32_t used;     // numbers: what the daemon uses
    int32_t length;   // texts and times: the length as written
};

// Judges a value's text, cleaned as ini_gets cleans it, by the row of `id`;
// bexo judges the words it is to store the same way.
setting_value setting_judge(setting_id id, const char *text);

// The number setting `id` of `filename`, as the daemon uses it; *value, when
// given, tells how it read.
int32_t setting_number(setting_id id, const char *filename, setting_value *value = nullptr);

// The text setting `id` of `filename` into `buffer` (larger than the row's
// longest text), as the daemon uses it: never a text cut short.
setting_value setting_text(setting_id id, const char *filename, char *buffer, int size);

// False when `filename` cannot serve as the configuration, which must be a
// regular file (links followed) or no file at all; `reason` then gets the
// text of the one line that refuses it, "FILE is a FIFO, not a regular file".
// Nothing is opened, so nothing can block.
bool setting_file_usable(const char *filename, char *reason, int size);

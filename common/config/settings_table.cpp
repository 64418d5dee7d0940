// SPDX-License-Identifier: GPL-2.0-or-later
#include "common/config/settings_table.hpp"

#include <strings.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/config/config_file.hpp"
#include "common/config/ini_store.hpp"
#include "common/config/int32_text.hpp"
#include "common/config/time_of_day.hpp"

namespace {

// The daemon holds a text in a buffer of CONFIG_TEXT_SIZE bytes.
constexpr int32_t LONGEST_TEXT = CONFIG_TEXT_SIZE - 1;

// clang-format off
const setting_row ROWS[SETTING_COUNT] = {
    // section   key               kind          range                  missing      outside           unreadable             required
    {"General", "timer",          KIND_NUMBER,  INT32_MIN, INT32_MAX,  -1, nullptr, OUTSIDE_CLAMPED,  UNREADABLE_MISSING,    false},
    {"General", "autostart",      KIND_FLAG,    0, 1,                  -1, nullptr, OUTSIDE_WRITTEN,  UNREADABLE_KEEPS_UNIT, false},
    {"General", "sleep",          KIND_NUMBER,  1, INT32_MAX,          -1, nullptr, OUTSIDE_CLAMPED,  UNREADABLE_MISSING,    false},
    {"General", "address",        KIND_ADDRESS, 0x00, 0x7F,            -1, nullptr, OUTSIDE_LOW_BYTE, UNREADABLE_MISSING,    true},
    {"General", "mail",           KIND_FLAG,    0, 1,                  -1, nullptr, OUTSIDE_WRITTEN,  UNREADABLE_MISSING,    false},
    {"General", "timed_boot",     KIND_FLAG,    0, 1,                  -1, nullptr, OUTSIDE_WRITTEN,  UNREADABLE_MISSING,    false},
    {"General", "time_boot",      KIND_TIME,    0, LONGEST_TEXT,        0, "",      OUTSIDE_MISSING,  UNREADABLE_AS_WRITTEN, false},
    {"General", "timed_shutdown", KIND_FLAG,    0, 1,                  -1, nullptr, OUTSIDE_WRITTEN,  UNREADABLE_MISSING,    false},
    {"General", "time_shutdown",  KIND_TIME,    0, LONGEST_TEXT,        0, "",      OUTSIDE_MISSING,  UNREADABLE_AS_WRITTEN, false},
    {"User",    "command1",       KIND_TEXT,    0, LONGEST_TEXT,        0, "",      OUTSIDE_MISSING,  UNREADABLE_MISSING,    false},
    {"User",    "command2",       KIND_TEXT,    0, LONGEST_TEXT,        0, "",      OUTSIDE_MISSING,  UNREADABLE_MISSING,    false},
    {"User",    "command3",       KIND_TEXT,    0, LONGEST_TEXT,        0, "",      OUTSIDE_MISSING,  UNREADABLE_MISSING,    false},
    {"User",    "command4",       KIND_TEXT,    0, LONGEST_TEXT,        0, "",      OUTSIDE_MISSING,  UNREADABLE_MISSING,    false},
    {"User",    "command5",       KIND_TEXT,    0, LONGEST_TEXT,        0, "",      OUTSIDE_MISSING,  UNREADABLE_MISSING,    false},
    {"NUT",     "export",         KIND_FLAG,    0, 1,                   0, nullptr, OUTSIDE_WRITTEN,  UNREADABLE_MISSING,    false},
    {"NUT",     "interval",       KIND_NUMBER,  2, INT32_MAX,          10, nullptr, OUTSIDE_CLAMPED,  UNREADABLE_MISSING,    false},
    {"NUT",     "hostsync",       KIND_NUMBER,  0, 60,                  0, nullptr, OUTSIDE_CLAMPED,  UNREADABLE_MISSING,    false},
    {"Notify",  "command",        KIND_TEXT,    0, LONGEST_TEXT,        0, "",      OUTSIDE_MISSING,  UNREADABLE_MISSING,    false},
    {"Notify",  "user",           KIND_TEXT,    0, LONGEST_TEXT,        0, "nobody", OUTSIDE_MISSING, UNREADABLE_MISSING,    false},
};
// clang-format on

const setting_section SECTIONS[] = {
    {"General", true}, {"User", true}, {"NUT", true}, {"Notify", true}, {"Mail", false},
};

bool is_text(const setting_row &row) { return row.kind == KIND_TEXT || row.kind == KIND_TIME; }

// The daemon binds the board with the low 8 bits of its address.
int32_t used_number(const setting_row &row, int32_t number) {
    return row.kind == KIND_ADDRESS ? number & 0xFF : number;
}

int32_t outside_number(const setting_row &row, int32_t number) {
    switch (row.outside) {
    case OUTSIDE_CLAMPED: return number < row.lowest ? row.lowest : row.highest;
    case OUTSIDE_MISSING: return used_number(row, row.missing);
    case OUTSIDE_WRITTEN:
    case OUTSIDE_LOW_BYTE: break;
    }
    return used_number(row, number);
}

setting_value judge_text(const setting_row &row, const char *text) {
    setting_value value{SETTING_READ, row.missing, row.missing, static_cast<int32_t>(strlen(text))};
    if (value.length == 0)
        value.state = SETTING_MISSING;
    else if (value.length > row.highest)
        value.state = SETTING_TOO_LONG;
    else if (row.kind == KIND_TIME && validate(text) != 0)
        value.state = SETTING_UNREADABLE;
    return value;
}

const char *type_name(mode_t mode) {
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISSOCK(mode)) return "a socket";
    return "a special file";
}

}  // namespace

const setting_row &setting_of(setting_id id) { return ROWS[id]; }

setting_id setting_find(const char *section, const char *key) {
    for (int i = 0; i < SETTING_COUNT; ++i)
        if (strcasecmp(ROWS[i].section, section) == 0 && strcasecmp(ROWS[i].key, key) == 0)
            return static_cast<setting_id>(i);
    return SETTING_COUNT;
}

const setting_section *setting_section_of(const char *name) {
    for (const setting_section &known : SECTIONS)
        if (strcasecmp(known.name, name) == 0) return &known;
    return nullptr;
}

setting_value setting_judge(setting_id id, const char *text) {
    const setting_row &row = ROWS[id];
    if (is_text(row)) return judge_text(row, text);
    const int32_t missing = used_number(row, row.missing);
    setting_value value{SETTING_MISSING, row.missing, missing, 0};
    int32_t number = 0;
    switch (int32_text_whole(text, &number)) {
    case INT32_TEXT_EMPTY: return value;
    case INT32_TEXT_UNREADABLE: value.state = SETTING_UNREADABLE; return value;
    case INT32_TEXT_READ: break;
    }
    value.written = number;
    const bool inside = number >= row.lowest && number <= row.highest;
    value.state = inside ? SETTING_READ : SETTING_OUTSIDE;
    value.used = inside ? used_number(row, number) : outside_number(row, number);
    return value;
}

int32_t setting_number(setting_id id, const char *filename, setting_value *value) {
    const setting_row &row = ROWS[id];
    char text[INI_LINE_SIZE];
    ini_gets(row.section, row.key, nullptr, text, sizeof text, filename);
    const setting_value judged = setting_judge(id, text);
    if (value != nullptr) *value = judged;
    return judged.used;
}

setting_value setting_text(setting_id id, const char *filename, char *buffer, int size) {
    const setting_row &row = ROWS[id];
    char text[INI_LINE_SIZE];
    ini_gets(row.section, row.key, nullptr, text, sizeof text, filename);
    const setting_value value = setting_judge(id, text);
    const bool as_written =
        value.state == SETTING_READ ||
        (value.state == SETTING_UNREADABLE && row.unreadable == UNREADABLE_AS_WRITTEN);
    snprintf(buffer, static_cast<size_t>(size), "%s", as_written ? text : row.missing_text);
    return value;
}

bool setting_file_usable(const char *filename, char *reason, int size) {
    struct stat target;
    if (stat(filename, &target) == 0) {
        if (S_ISREG(target.st_mode)) return true;
        snprintf(reason, static_cast<size_t>(size), "%s is %s, not a regular file", filename,
                 type_name(target.st_mode));
        return false;
    }
    struct stat link;
    if (errno != ENOENT || lstat(filename, &link) != 0) return true;
    snprintf(reason, static_cast<size_t>(size), "%s is a symbolic link to a missing file",
             filename);
    return false;
}

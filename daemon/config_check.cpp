// SPDX-License-Identifier: GPL-2.0-or-later
#include "daemon/config_check.hpp"

#include <strings.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/config/config_file.hpp"
#include "common/config/ini_store.hpp"
#include "common/config/time_of_day.hpp"

namespace {

// ini_getl reads at most this many bytes of a value.
constexpr size_t NUMBER_TEXT_MAX = 63;
constexpr int LINE_SIZE = 512;
constexpr int DETAIL_SIZE = 384;

enum value_rule { RULE_TEXT, RULE_NUMBER, RULE_UNIT_SWITCH, RULE_TIME };

struct key_rule {
    const char *key;
    value_rule rule;
};

const key_rule GENERAL_KEYS[] = {
    {KEY_TIMER, RULE_NUMBER},   {KEY_AUTOSTART, RULE_UNIT_SWITCH}, {KEY_SLEEP, RULE_NUMBER},
    {KEY_ADDRESS, RULE_NUMBER}, {KEY_MAIL, RULE_NUMBER},           {KEY_TIMED_BOOT, RULE_NUMBER},
    {KEY_TIME_BOOT, RULE_TIME}, {KEY_TIMED_SHUTDOWN, RULE_NUMBER}, {KEY_TIME_SHUTDOWN, RULE_TIME},
};
const key_rule USER_KEYS[] = {
    {KEY_COMMANDS[0], RULE_TEXT}, {KEY_COMMANDS[1], RULE_TEXT}, {KEY_COMMANDS[2], RULE_TEXT},
    {KEY_COMMANDS[3], RULE_TEXT}, {KEY_COMMANDS[4], RULE_TEXT},
};
const key_rule NUT_KEYS[] = {{KEY_NUT_EXPORT, RULE_NUMBER},
                             {KEY_NUT_INTERVAL, RULE_NUMBER},
                             {KEY_NUT_HOSTSYNC, RULE_NUMBER}};
const key_rule NOTIFY_KEYS[] = {{KEY_NOTIFY_COMMAND, RULE_TEXT}};

struct section_rule {
    const char *name;
    const key_rule *keys;  // null: the keys belong to another program
    int key_count;
};

const section_rule SECTIONS[] = {
    {SECTION_GENERAL, GENERAL_KEYS, static_cast<int>(sizeof GENERAL_KEYS / sizeof GENERAL_KEYS[0])},
    {SECTION_USER, USER_KEYS, static_cast<int>(sizeof USER_KEYS / sizeof USER_KEYS[0])},
    {SECTION_NUT, NUT_KEYS, static_cast<int>(sizeof NUT_KEYS / sizeof NUT_KEYS[0])},
    {SECTION_NOTIFY, NOTIFY_KEYS, static_cast<int>(sizeof NOTIFY_KEYS / sizeof NOTIFY_KEYS[0])},
    // Read by the mail script only.
    {SECTION_MAIL, nullptr, 0},
};

// Where the walk stands: before the first header, in a section nothing
// reads (reported once, at its header), or in one of SECTIONS.
constexpr int BEFORE_FIRST_SECTION = -1;
constexpr int NOT_READ = -2;

struct check_state {
    const char *filename;
    void (*report)(const char *line);
    int problems;
    int section;
    uint32_t seen_sections;
    uint32_t seen_keys;  // of the current section
};

// Control bytes (a quoted value may hold them) would reach a terminal as
// they are; each shows as '?'.
void make_printable(char *text) {
    for (char *c = text; *c != '\0'; ++c) {
        const unsigned char byte = static_cast<unsigned char>(*c);
        if (byte < ' ' || byte == 0x7F) *c = '?';
    }
}

[[gnu::format(printf, 3, 4)]] void report_problem(check_state *state, int number,
                                                  const char *format, ...) {
    char detail[DETAIL_SIZE];
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(detail, sizeof detail, format, arguments);
    va_end(arguments);
    make_printable(detail);
    char line[LINE_SIZE];
    snprintf(line, sizeof line, "BEXOD:  Configuration %s line %d: %s\n", state->filename, number,
             detail);
    state->report(line);
    state->problems++;
}

int find_section(const char *name) {
    for (int i = 0; i < static_cast<int>(sizeof SECTIONS / sizeof SECTIONS[0]); ++i)
        if (strcasecmp(SECTIONS[i].name, name) == 0) return i;
    return -1;
}

int find_key(const section_rule &section, const char *key) {
    for (int i = 0; i < section.key_count; ++i)
        if (strcasecmp(section.keys[i].key, key) == 0) return i;
    return -1;
}

void enter_section(check_state *state, const ini_line *line) {
    const int index = find_section(line->name);
    state->section = NOT_READ;
    if (index < 0) {
        report_problem(state, line->number, "unknown section [%.64s]; nothing in it is read",
                       line->name);
    } else if ((state->seen_sections & (1u << index)) != 0) {
        report_problem(state, line->number, "[%.64s] given again; only the first is read",
                       line->name);
    } else {
        state->seen_sections |= 1u << index;
        state->section = index;
        state->seen_keys = 0;
    }
}

void check_value(check_state *state, const ini_line *line, const section_rule &section,
                 value_rule rule) {
    int32_t number;
    if ((rule == RULE_NUMBER || rule == RULE_UNIT_SWITCH) &&
        config_parse_number(line->value, &number) == CONFIG_NUMBER_UNREADABLE) {
        report_problem(
            state, line->number, "%.64s=%.64s in [%s] is not a whole 32-bit number; %s", line->name,
            line->value, section.name,
            rule == RULE_UNIT_SWITCH ? "the service unit is left as it is" : "read as missing");
    } else if (rule == RULE_TIME && line->value[0] != '\0' && validate(line->value) != 0) {
        report_problem(state, line->number, "%.64s=%.64s in [%s] is not a time HH:mm:ss",
                       line->name, line->value, section.name);
    }
}

void check_key(check_state *state, const ini_line *line) {
    if (state->section == NOT_READ) return;
    if (state->section == BEFORE_FIRST_SECTION) {
        report_problem(state, line->number, "%.64s=%.64s before the first section; not read",
                       line->name, line->value);
        return;
    }
    const section_rule &section = SECTIONS[state->section];
    if (section.keys == nullptr) return;
    const int index = find_key(section, line->name);
    if (index < 0) {
        report_problem(state, line->number, "unknown key %.64s=%.64s in [%s]; not read", line->name,
                       line->value, section.name);
    } else if ((state->seen_keys & (1u << index)) != 0) {
        report_problem(state, line->number,
                       "%.64s=%.64s given again in [%s]; only the first is read", line->name,
                       line->value, section.name);
    } else {
        state->seen_keys |= 1u << index;
        check_value(state, line, section, section.keys[index].rule);
    }
}

void visit_line(const ini_line *line, void *context) {
    check_state *state = static_cast<check_state *>(context);
    switch (line->kind) {
    case INI_LINE_SECTION: enter_section(state, line); break;
    case INI_LINE_OPEN_SECTION:
        // The look-ups stop at it, so the keys below it belong to no section.
        report_problem(state, line->number, "[%.64s has no \"]\"; the keys after it are not read",
                       line->name);
        state->section = NOT_READ;
        break;
    case INI_LINE_KEY: check_key(state, line); break;
    }
}

}  // namespace

config_number config_parse_number(const char *text, int32_t *value) {
    const size_t length = strlen(text);
    if (length == 0) return CONFIG_NUMBER_EMPTY;
    if (length > NUMBER_TEXT_MAX) return CONFIG_NUMBER_UNREADABLE;
    const bool hex = length >= 2 && (text[1] == 'x' || text[1] == 'X');
    char *end = nullptr;
    errno = 0;
    const long long number = strtoll(text, &end, hex ? 16 : 10);
    if (end == text || *end != '\0' || errno == ERANGE || number < INT32_MIN ||
        number > INT32_MAX) {
        return CONFIG_NUMBER_UNREADABLE;
    }
    *value = static_cast<int32_t>(number);
    return CONFIG_NUMBER_READ;
}

int32_t config_read_integer(const char *section, const char *key, int32_t missing,
                            const char *filename, bool *unreadable) {
    // One byte more than ini_getl takes shows a value it would cut.
    char text[NUMBER_TEXT_MAX + 2];
    ini_gets(section, key, nullptr, text, sizeof text, filename);
    int32_t value = missing;
    const config_number result = config_parse_number(text, &value);
    if (unreadable != nullptr) *unreadable = result == CONFIG_NUMBER_UNREADABLE;
    return result == CONFIG_NUMBER_READ ? value : missing;
}

int config_check_file(const char *filename, void (*report)(const char *line)) {
    check_state state{filename, report, 0, BEFORE_FIRST_SECTION, 0, 0};
    if (ini_walk(filename, visit_line, &state) == 0) {
        char line[LINE_SIZE];
        snprintf(line, sizeof line,
                 "BEXOD:  Configuration %s cannot be read (%s); every setting reads as missing\n",
                 filename, strerror(errno));
        report(line);
        return 1;
    }
    return state.problems;
}

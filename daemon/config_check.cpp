// SPDX-License-Identifier: GPL-2.0-or-later
#include "daemon/config_check.hpp"

#include <syslog.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "common/config/config_file.hpp"
#include "common/config/ini_store.hpp"
#include "common/support/log.hpp"

namespace {

constexpr int LINE_SIZE = 512;
constexpr int DETAIL_SIZE = 384;
constexpr int USED_SIZE = 64;
constexpr int SECTIONS_SEEN_MAX = 8;

static_assert(SETTING_COUNT <= 32, "the keys seen are one bit each");

// Where the walk stands: before the first header, in a section nothing
// reads (reported once, at its header), or in a known one.
struct check_state {
    const char *filename;
    void (*report)(const char *line);
    int problems;
    bool before_first_section;
    const setting_section *section;  // null: its keys are not read
    const setting_section *sections_seen[SECTIONS_SEEN_MAX];
    int sections_seen_count;
    uint32_t settings_seen;  // by setting_id, in the sections read
    bool holds_data;         // a header or key line
    int notify_user_line;    // of the [Notify] user that is read, else 0
};

// Control bytes (a quoted value may hold them) would reach a terminal as
// they are; each shows as '?'.
void make_printable(char *text) {
    for (char *c = text; *c != '\0'; ++c) {
        const unsigned char byte = static_cast<unsigned char>(*c);
        if (byte < ' ' || byte == 0x7F) *c = '?';
    }
}

// One line: "BEXOD:  Configuration FILE" and the detail, after " line N:"
// when `number` is above 0.
void report_line(check_state *state, int number, const char *format, va_list arguments) {
    char detail[DETAIL_SIZE];
    vsnprintf(detail, sizeof detail, format, arguments);
    make_printable(detail);
    char where[32] = "";
    if (number > 0) snprintf(where, sizeof where, " line %d:", number);
    char line[LINE_SIZE];
    snprintf(line, sizeof line, "BEXOD:  Configuration %s%s %s\n", state->filename, where, detail);
    state->report(line);
    state->problems++;
}

[[gnu::format(printf, 3, 4)]] void report_problem(check_state *state, int number,
                                                  const char *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    report_line(state, number, format, arguments);
    va_end(arguments);
}

[[gnu::format(printf, 2, 3)]] void report_file_problem(check_state *state, const char *format,
                                                       ...) {
    va_list arguments;
    va_start(arguments, format);
    report_line(state, 0, format, arguments);
    va_end(arguments);
}

// A number as the row writes it: an address in hexadecimal.
void describe_number(const setting_row &row, int32_t number, char *text) {
    if (row.kind == KIND_ADDRESS && number >= 0 && number <= 0xFF)
        snprintf(text, USED_SIZE, "0x%02X", static_cast<unsigned>(number));
    else
        snprintf(text, USED_SIZE, "%d", number);
}

// The value the daemon uses, as the user knows it.
void describe_used(const setting_row &row, int32_t used, char *text) {
    if (row.kind == KIND_FLAG)
        snprintf(text, USED_SIZE, "%s", used == 1 ? "on" : "off");
    else
        describe_number(row, used, text);
}

// An address the kernel does not bind is one no board answers at.
const char *kernel_note(const setting_row &row, int32_t used) {
    return row.kind == KIND_ADDRESS && used > row.highest ? ", which the kernel refuses" : "";
}

bool seen_before(check_state *state, const setting_section *section) {
    for (int i = 0; i < state->sections_seen_count; ++i)
        if (state->sections_seen[i] == section) return true;
    if (state->sections_seen_count < SECTIONS_SEEN_MAX)
        state->sections_seen[state->sections_seen_count++] = section;
    return false;
}

void enter_section(check_state *state, const ini_line *line) {
    const setting_section *section = setting_section_of(line->name);
    state->before_first_section = false;
    state->section = nullptr;
    if (section == nullptr) {
        report_problem(state, line->number, "unknown section [%.64s]; nothing in it is read",
                       line->name);
    } else if (seen_before(state, section)) {
        report_problem(state, line->number, "[%.64s] given again; only the first is read",
                       line->name);
    } else {
        state->section = section;
    }
}

void check_unreadable(check_state *state, const ini_line *line, const setting_row &row,
                      const setting_value &value) {
    char used[USED_SIZE];
    describe_used(row, value.used, used);
    if (row.kind == KIND_TIME)
        report_problem(state, line->number, "%.64s=%.64s in [%s] is not a time HH:mm:ss",
                       line->name, line->value, row.section);
    else if (row.unreadable == UNREADABLE_KEEPS_UNIT)
        report_problem(state, line->number,
                       "%.64s=%.64s in [%s] is not a whole 32-bit number; the service unit is "
                       "left as it is",
                       line->name, line->value, row.section);
    else
        report_problem(state, line->number,
                       "%.64s=%.64s in [%s] is not a whole 32-bit number; read as missing (%s%s)",
                       line->name, line->value, row.section, used, kernel_note(row, value.used));
}

void check_outside(check_state *state, const ini_line *line, const setting_row &row,
                   const setting_value &value) {
    if (row.outside == OUTSIDE_WRITTEN) return;
    char bound[USED_SIZE] = "";
    const bool below = value.written < row.lowest;
    describe_number(row, below ? row.lowest : row.highest, bound);
    char used[USED_SIZE];
    describe_used(row, value.used, used);
    char where[USED_SIZE];
    snprintf(where, sizeof where, "is %s %s", below ? "below" : "above", bound);
    const char *note = kernel_note(row, value.used);
    if (row.outside == OUTSIDE_MISSING)
        report_problem(state, line->number, "%.64s=%.64s in [%s] %s; read as missing (%s%s)",
                       line->name, line->value, row.section, where, used, note);
    else
        report_problem(state, line->number, "%.64s=%.64s in [%s] %s; %s is used%s", line->name,
                       line->value, row.section, where, used, note);
}

void check_value(check_state *state, const ini_line *line, setting_id id) {
    const setting_row &row = setting_of(id);
    const setting_value value = setting_judge(id, line->value);
    switch (value.state) {
    case SETTING_READ:
    case SETTING_MISSING: break;
    case SETTING_UNREADABLE: check_unreadable(state, line, row, value); break;
    case SETTING_OUTSIDE: check_outside(state, line, row, value); break;
    case SETTING_TOO_LONG:
        report_problem(state, line->number,
                       "%.64s in [%s] is %d bytes long, more than the %d the daemon holds; it is "
                       "not used",
                       line->name, row.section, value.length, row.highest);
        break;
    }
}

void check_key(check_state *state, const ini_line *line) {
    if (state->before_first_section) {
        report_problem(state, line->number, "%.64s=%.64s before the first section; not read",
                       line->name, line->value);
        return;
    }
    const setting_section *section = state->section;
    if (section == nullptr || !section->keys_are_ours) return;
    const setting_id id = setting_find(section->name, line->name);
    const uint32_t bit = id < SETTING_COUNT ? 1u << id : 0;
    if (id == SETTING_COUNT) {
        report_problem(state, line->number, "unknown key %.64s=%.64s in [%s]; not read", line->name,
                       line->value, section->name);
    } else if ((state->settings_seen & bit) != 0) {
        report_problem(state, line->number,
                       "%.64s=%.64s given again in [%s]; only the first is read", line->name,
                       line->value, section->name);
    } else {
        state->settings_seen |= bit;
        if (id == SETTING_NOTIFY_USER) state->notify_user_line = line->number;
        check_value(state, line, id);
    }
}

void visit_line(const ini_line *line, void *context) {
    check_state *state = static_cast<check_state *>(context);
    state->holds_data = state->holds_data || line->kind != INI_LINE_BYTE_ORDER_MARK;
    switch (line->kind) {
    case INI_LINE_BYTE_ORDER_MARK:
        report_problem(state, line->number,
                       "a UTF-8 byte-order mark starts the file; it is passed over");
        break;
    case INI_LINE_SECTION: enter_section(state, line); break;
    case INI_LINE_OPEN_SECTION:
        // The look-ups stop at it, so the keys below it belong to no section.
        report_problem(state, line->number, "[%.64s has no \"]\"; the keys after it are not read",
                       line->name);
        state->before_first_section = false;
        state->section = nullptr;
        break;
    case INI_LINE_KEY: check_key(state, line); break;
    }
}

// Settings the daemon cannot work without.
void check_required(check_state *state) {
    for (int i = 0; i < SETTING_COUNT; ++i) {
        const setting_row &row = setting_of(static_cast<setting_id>(i));
        if (!row.required || (state->settings_seen & (1u << i)) != 0) continue;
        const int32_t missing = setting_judge(static_cast<setting_id>(i), "").used;
        char used[USED_SIZE];
        describe_used(row, missing, used);
        report_file_problem(state, "has no %s in [%s]; read as missing (%s%s)", row.key,
                            row.section, used, kernel_note(row, missing));
    }
}

// A notify command is never run when its user cannot be used (one too
// long to hold is named above, as every text is).
void check_notify_user(check_state *state) {
    char command[CONFIG_TEXT_SIZE];
    const setting_value value =
        setting_text(SETTING_NOTIFY_COMMAND, state->filename, command, sizeof command);
    if (value.state != SETTING_READ) return;
    notify_user user;
    config_notify_user(state->filename, &user);
    if (user.kind != NOTIFY_NOT_RUN || user.name[0] == '\0') return;
    if (user.named)
        report_problem(state, state->notify_user_line,
                       "user=%.64s in [Notify] %s; the notify command is not run", user.name,
                       user.problem);
    else
        report_file_problem(state,
                            "has no user in [Notify], and %s %s; the notify command is not run",
                            user.name, user.problem);
}

}  // namespace

int config_check_file(const char *filename, void (*report)(const char *line)) {
    check_state state{filename, report, 0, true, nullptr, {}, 0, 0, false, 0};
    char reason[DETAIL_SIZE];
    if (!setting_file_usable(filename, reason, sizeof reason)) {
        char line[LINE_SIZE];
        snprintf(line, sizeof line, "BEXOD:  Configuration %s\n", reason);
        report(line);
        return 1;
    }
    if (ini_walk(filename, visit_line, &state) == 0) {
        report_file_problem(&state, "cannot be read (%s); every setting reads as missing",
                            strerror(errno));
    } else if (!state.holds_data) {
        report_file_problem(&state, "holds no settings; every setting reads as missing");
    } else {
        check_required(&state);
        check_notify_user(&state);
    }
    return state.problems;
}

void config_log_unused_command(setting_id id, int32_t length) {
    const setting_row &row = setting_of(id);
    char line[LINE_SIZE];
    snprintf(line, sizeof line,
             "BEXOD:  Not run: %s in [%s] of %s is %d bytes long, more than %d\n", row.key,
             row.section, inifile, length, row.highest);
    Log(LOG_ERR, line);
}

void config_notify_user(const char *filename, notify_user *user) {
    const setting_value value =
        setting_text(SETTING_NOTIFY_USER, filename, user->name, sizeof user->name);
    user->named = value.state == SETTING_READ;
    if (value.state == SETTING_TOO_LONG) {
        user->kind = NOTIFY_NOT_RUN;
        user->name[0] = '\0';
        snprintf(user->problem, sizeof user->problem, "in [Notify] is %d bytes long, more than %d",
                 value.length, setting_of(SETTING_NOTIFY_USER).highest);
        return;
    }
    if (strcmp(user->name, "root") == 0) {
        user->kind = NOTIFY_AS_DAEMON;
        return;
    }
    const user_result result =
        user_account_find(user->name, USER_PASSWD_FILE, USER_GROUP_FILE, &user->account);
    user->kind = result.lookup == USER_FOUND ? NOTIFY_AS_ACCOUNT : NOTIFY_NOT_RUN;
    user_account_problem(result, user->problem, sizeof user->problem);
}

void config_log_unrun_notify(const notify_user &user) {
    char name[CONFIG_TEXT_SIZE];
    snprintf(name, sizeof name, "%s", user.name);
    make_printable(name);
    char line[LINE_SIZE + sizeof user.problem];
    snprintf(line, sizeof line, "BEXOD:  Not run: command in [Notify] of %s; its user %s%s%s\n",
             inifile, name, name[0] == '\0' ? "" : " ", user.problem);
    Log(LOG_ERR, line);
}

// SPDX-License-Identifier: GPL-2.0-or-later
#include "daemon/user_account.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

constexpr int READ_SIZE = 1024;
constexpr int END_OF_FILE = -1;
// passwd: name, password, user ID, group ID, comment, home (the shell is
// not needed); group: name, password, group ID, before its members.
constexpr int PASSWD_FIELDS = 6;
constexpr int GROUP_FIELDS = 3;
// (uid_t)-1 and (gid_t)-1 mean "no change" to setuid() and setgid().
constexpr uint64_t HIGHEST_ID = UINT32_MAX - 1;

struct text_file {
    int descriptor;
    char buffer[READ_SIZE];
    int filled;
    int at;
    int line_ends;  // read so far
    int error;      // of a failed read, else 0
};

struct field {
    char text[USER_FIELD_SIZE];
    bool too_long;  // more than the room: only its start is held
};

// The next byte, or END_OF_FILE (also after a read error, kept in `error`).
int next_byte(text_file &file) {
    if (file.at == file.filled) {
        ssize_t got;
        do {
            got = read(file.descriptor, file.buffer, sizeof file.buffer);
        } while (got < 0 && errno == EINTR);
        if (got < 0) file.error = errno;
        if (got <= 0) return END_OF_FILE;
        file.filled = static_cast<int>(got);
        file.at = 0;
    }
    const int byte = static_cast<unsigned char>(file.buffer[file.at++]);
    if (byte == '\n') ++file.line_ends;
    return byte;
}

// Puts back the byte just read (never a line end): it is still in the buffer.
void unread_byte(text_file &file) { --file.at; }

bool is_blank(int byte) { return byte == ' ' || byte == '\t'; }

// Reads up to the next ':' (or ',' when `comma_ends`), the line's end or the
// file's end, and returns that byte.
int read_field(text_file &file, field &out, bool comma_ends) {
    int length = 0;
    out.too_long = false;
    for (;;) {
        const int byte = next_byte(file);
        if (byte == END_OF_FILE || byte == '\n' || byte == ':' || (comma_ends && byte == ',')) {
            out.text[length] = '\0';
            return byte;
        }
        if (length < USER_FIELD_SIZE - 1)
            out.text[length++] = static_cast<char>(byte);
        else
            out.too_long = true;
    }
}

void skip_line(text_file &file, int last) {
    while (last != END_OF_FILE && last != '\n') last = next_byte(file);
}

// The first fields of the next entry, up to `wanted`. Returns how many the
// line holds of them: 0 for a blank or comment line, END_OF_FILE after the
// last line. *last is the byte that ended the last field read: ':' when
// more follow on the line.
int read_entry(text_file &file, field *fields, int wanted, int *last) {
    int byte = next_byte(file);
    while (is_blank(byte)) byte = next_byte(file);
    *last = byte;
    if (byte == END_OF_FILE) return END_OF_FILE;
    if (byte == '\n') return 0;
    if (byte == '#') {
        skip_line(file, byte);
        *last = '\n';
        return 0;
    }
    unread_byte(file);
    int count = 0;
    do {
        *last = read_field(file, fields[count++], false);
    } while (count < wanted && *last == ':');
    return count;
}

bool names(const field &f, const char *name) { return !f.too_long && strcmp(f.text, name) == 0; }

// Decimal digits only, as an id the kernel takes.
bool read_id(const field &f, uint32_t *id) {
    if (f.too_long || f.text[0] == '\0') return false;
    uint64_t value = 0;
    for (const char *digit = f.text; *digit != '\0'; ++digit) {
        if (*digit < '0' || *digit > '9') return false;
        value = value * 10 + static_cast<uint64_t>(*digit - '0');
        if (value > HIGHEST_ID) return false;
    }
    *id = static_cast<uint32_t>(value);
    return true;
}

bool open_file(text_file &file, const char *path, user_result &result) {
    file.descriptor = open(path, O_RDONLY | O_CLOEXEC);
    file.filled = file.at = file.line_ends = file.error = 0;
    if (file.descriptor >= 0) return true;
    result = {USER_FILE_UNREADABLE, path, 0, errno};
    return false;
}

// A read error anywhere makes the whole file unreadable: a user or group
// missed behind it would change who the command runs as.
bool close_file(text_file &file, const char *path, user_result &result) {
    close(file.descriptor);
    if (file.error == 0) return true;
    result = {USER_FILE_UNREADABLE, path, 0, file.error};
    return false;
}

// The user's line: a line that names it but gives no ids is passed over,
// as the C library passes over every line it cannot parse; the first of
// them is named if no usable one follows.
user_result find_user(text_file &file, const char *path, const char *name, user_account *account) {
    user_result result{USER_UNKNOWN, path, 0, 0};
    field fields[PASSWD_FIELDS];
    int last = 0;
    for (;;) {
        const int line = file.line_ends + 1;
        const int count = read_entry(file, fields, PASSWD_FIELDS, &last);
        if (count == END_OF_FILE) return result;
        skip_line(file, last);
        if (count == 0 || !names(fields[0], name)) continue;
        uint32_t uid = 0;
        uint32_t gid = 0;
        if (count < 4 || !read_id(fields[2], &uid) || !read_id(fields[3], &gid)) {
            if (result.lookup == USER_UNKNOWN) result = {USER_NO_IDS, path, line, 0};
            continue;
        }
        // A missing home reads as an empty one, as the C library reads it.
        const field *home = count == PASSWD_FIELDS ? &fields[5] : nullptr;
        if (home != nullptr && home->too_long) return {USER_LONG_HOME, path, line, 0};
        account->uid = uid;
        account->gid = gid;
        snprintf(account->home, sizeof account->home, "%s",
                 home == nullptr || home->text[0] == '\0' ? "/" : home->text);
        return {USER_FOUND, path, line, 0};
    }
}

bool add_group(user_account *account, gid_t gid) {
    for (int i = 0; i < account->group_count; ++i)
        if (account->groups[i] == gid) return true;
    if (account->group_count == USER_GROUPS_MAX) return false;
    account->groups[account->group_count++] = gid;
    return true;
}

// Does the member list that follows `last` name the user? A member's
// leading blanks are passed over, as the C library does.
bool lists_member(text_file &file, const char *name, int *last) {
    bool listed = false;
    field member;
    while (*last == ':' || *last == ',') {
        *last = read_field(file, member, true);
        const char *text = member.text;
        while (is_blank(*text)) ++text;
        listed = listed || (!member.too_long && strcmp(text, name) == 0);
        if (*last == ':') break;  // a field after the members
    }
    return listed;
}

// Every group that lists the user among its members; lines without a
// group ID are passed over.
user_result find_groups(text_file &file, const char *path, const char *name,
                        user_account *account) {
    account->group_count = 0;
    add_group(account, account->gid);
    field fields[GROUP_FIELDS];
    int last = 0;
    for (;;) {
        const int count = read_entry(file, fields, GROUP_FIELDS, &last);
        if (count == END_OF_FILE) return {USER_FOUND, path, 0, 0};
        uint32_t gid = 0;
        const bool usable = count == GROUP_FIELDS && last == ':' && read_id(fields[2], &gid);
        if (usable && lists_member(file, name, &last) && !add_group(account, gid))
            return {USER_TOO_MANY_GROUPS, path, 0, 0};
        skip_line(file, last);
    }
}

}  // namespace

user_result user_account_find(const char *name, const char *passwd_file, const char *group_file,
                              user_account *account) {
    user_result result{};
    text_file file;
    if (!open_file(file, passwd_file, result)) return result;
    user_account found{};
    result = find_user(file, passwd_file, name, &found);
    if (!close_file(file, passwd_file, result) || result.lookup != USER_FOUND) return result;
    if (!open_file(file, group_file, result)) return result;
    result = find_groups(file, group_file, name, &found);
    if (!close_file(file, group_file, result) || result.lookup != USER_FOUND) return result;
    *account = found;
    return result;
}

void user_account_problem(const user_result &result, char *text, int size) {
    const size_t room = static_cast<size_t>(size);
    switch (result.lookup) {
    case USER_FOUND: snprintf(text, room, "is in %s", result.file); break;
    case USER_UNKNOWN: snprintf(text, room, "is not in %s", result.file); break;
    case USER_FILE_UNREADABLE:
        snprintf(text, room, "cannot be looked up: %s cannot be read (%s)", result.file,
                 strerror(result.error));
        break;
    case USER_NO_IDS:
        snprintf(text, room, "has no numeric user and group ID on line %d of %s", result.line,
                 result.file);
        break;
    case USER_LONG_HOME:
        snprintf(text, room, "has a home longer than %d bytes on line %d of %s",
                 USER_FIELD_SIZE - 1, result.line, result.file);
        break;
    case USER_TOO_MANY_GROUPS:
        snprintf(text, room, "is in more than %d groups of %s", USER_GROUPS_MAX, result.file);
        break;
    }
}

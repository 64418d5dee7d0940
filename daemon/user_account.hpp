// SPDX-License-Identifier: GPL-2.0-or-later
// A user's account as the system's passwd and group files give it, read
// without NSS (the static builds have none): the user's ids, home and the
// groups that initgroups() would give it. Each field is read into fixed
// room as it streams past, so a line of any length is read whole; blank
// lines and lines starting with "#" are passed over, as the C library's
// files module does.
#pragma once

#include <sys/types.h>

constexpr char USER_PASSWD_FILE[] = "/etc/passwd";
constexpr char USER_GROUP_FILE[] = "/etc/group";
constexpr int USER_FIELD_SIZE = 256;  // a name or home, with its end byte
constexpr int USER_GROUPS_MAX = 256;

struct user_account {
    uid_t uid;
    gid_t gid;
    char home[USER_FIELD_SIZE];     // "/" for an account without one, as login(1) falls back to
    gid_t groups[USER_GROUPS_MAX];  // the user's own group first, then each that lists it
    int group_count;
};

enum user_lookup {
    USER_FOUND,
    USER_UNKNOWN,          // no line of the passwd file names the user
    USER_FILE_UNREADABLE,  // a file cannot be opened or read
    USER_NO_IDS,           // the user's only lines have no user and group ID to use
    USER_LONG_HOME,        // the user's home is longer than the room for it
    USER_TOO_MANY_GROUPS,  // in more groups than USER_GROUPS_MAX
};

struct user_result {
    user_lookup lookup;
    const char *file;  // the file that says so
    int line;          // USER_NO_IDS, USER_LONG_HOME: the user's line in it
    int error;         // USER_FILE_UNREADABLE: errno
};

// Looks `name` up in `passwd_file` (the first usable line that names it)
// and its groups in `group_file`; fills *account only when FOUND.
user_result user_account_find(const char *name, const char *passwd_file, const char *group_file,
                              user_account *account);

// Why a user cannot be used, to follow its name: "is not in /etc/passwd".
void user_account_problem(const user_result &result, char *text, int size);

// SPDX-License-Identifier: GPL-2.0-or-later
// The daemon's guard against a hand-typed bexo.cfg: a check of the whole
// file, by the rows of the settings table, that names every section, key or
// value the daemon would not read, or would read otherwise than written.
#pragma once

#include <cstdint>

#include "common/config/config_file.hpp"
#include "common/config/settings_table.hpp"
#include "daemon/user_account.hpp"

// Hands `report` one line ("BEXOD:  Configuration FILE ...\n") for each
// problem of the file: one that is no regular file, cannot be read or holds
// no settings; a byte-order mark; an unknown or repeated section; an unknown
// or repeated key in a section the daemon reads; a value it cannot read, one
// outside its range and one too long to hold, each with what is used
// instead; a missing address; a notify command whose user cannot be used.
// Returns the number of lines.
int config_check_file(const char *filename, void (*report)(const char *line));

// Logs at level error that the command of setting `id`, `length` bytes
// long, is not run: the daemon cannot hold it whole.
void config_log_unused_command(setting_id id, int32_t length);

// Whom the [Notify] command of `filename` runs as.
enum notify_user_kind {
    NOTIFY_NOT_RUN,     // a user that cannot be used: never as root instead
    NOTIFY_AS_DAEMON,   // user root: as the daemon itself, with its environment
    NOTIFY_AS_ACCOUNT,  // the account of the user
};

struct notify_user {
    notify_user_kind kind;
    char name[CONFIG_TEXT_SIZE];  // as written, nobody when missing, "" when too long
    bool named;                   // the key is in the file
    user_account account;         // NOTIFY_AS_ACCOUNT
    char problem[CONFIG_TEXT_SIZE + USER_FIELD_SIZE];  // NOTIFY_NOT_RUN, after the name
};

// Reads [Notify] user of `filename` and looks the user up in the system's
// passwd and group files.
void config_notify_user(const char *filename, notify_user *user);

// Logs at level error that the notify command is not run, and why.
void config_log_unrun_notify(const notify_user &user);

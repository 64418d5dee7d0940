// SPDX-License-Identifier: GPL-2.0-or-later
// The daemon's event log: time-stamped lines appended to /var/log/bexod.log.
#pragma once

inline constexpr char EVENT_LOG_PATH[] = "/var/log/bexod.log";

// Appends one entry: the local time as asctime gives it, " - ", the message.
// Then hands the message to the copy set with log_set_copy, if any, also
// when the file could not be opened; the copy gets level LOG_NOTICE.
int Log(const char *message);

// The same, with the syslog level the copy carries (LOG_WARNING, LOG_ERR,
// LOG_INFO, ...): given where the message is logged, so that its wording
// never decides it. The file's entry is the same whatever the level.
int Log(int level, const char *message);

// Logs the message at level error and ends the process with status 1,
// through exit, so that exit handlers run.
[[noreturn]] void log_fatal(const char *message);

// What log_fatal does before the process ends (null: nothing).
void log_set_at_fatal(void (*action)(void));

// Where every message goes besides the file (null: nowhere).
void log_set_copy(void (*copy)(int level, const char *message));

// The daemon's event log: time-stamped lines appended to /var/log/bexod.log.
#pragma once

inline constexpr char EVENT_LOG_PATH[] = "/var/log/bexod.log";

// Appends one entry: the local time as asctime gives it, " - ", the message.
int Log(const char *message);

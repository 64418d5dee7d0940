// SPDX-License-Identifier: GPL-2.0-or-later
// The configuration file both programs share: its path, sections, keys and
// the defaults used when a key is missing; and the folder it lives in.
#pragma once

#include <cstdint>

// The programs' own folder: the configuration, the unit that "autostart"
// installs, the mail script and the flashing tool. A define, so that the
// paths and shell commands built on it are whole texts.
#define BEXO_FOLDER "/opt/bexod"

inline constexpr char inifile[] = BEXO_FOLDER "/bexo.cfg";

inline constexpr char SECTION_GENERAL[] = "General";
inline constexpr char SECTION_USER[] = "User";
inline constexpr char SECTION_NUT[] = "NUT";
inline constexpr char SECTION_NOTIFY[] = "Notify";
inline constexpr char SECTION_MAIL[] = "Mail";

inline constexpr char KEY_TIMER[] = "timer";
inline constexpr char KEY_AUTOSTART[] = "autostart";
inline constexpr char KEY_SLEEP[] = "sleep";
inline constexpr char KEY_ADDRESS[] = "address";
inline constexpr char KEY_MAIL[] = "mail";
inline constexpr char KEY_TIMED_BOOT[] = "timed_boot";
inline constexpr char KEY_TIME_BOOT[] = "time_boot";
inline constexpr char KEY_TIMED_SHUTDOWN[] = "timed_shutdown";
inline constexpr char KEY_TIME_SHUTDOWN[] = "time_shutdown";

// Section NUT: the daemon's export of the board's state for NUT's dummy-ups
// driver (off unless export is 1), and the seconds between two readings.
inline constexpr char KEY_NUT_EXPORT[] = "export";
inline constexpr char KEY_NUT_INTERVAL[] = "interval";
// Seconds between announcing a forced shutdown to NUT and powering off.
inline constexpr char KEY_NUT_HOSTSYNC[] = "hostsync";

// Section Notify: a command run for each event, as NUT's NOTIFYCMD is.
inline constexpr char KEY_NOTIFY_COMMAND[] = "command";

inline constexpr int USER_COMMAND_COUNT = 5;
inline constexpr const char *KEY_COMMANDS[USER_COMMAND_COUNT] = {"command1", "command2", "command3",
                                                                 "command4", "command5"};

// Integers and flags that are missing read as -1; texts as empty text.
inline constexpr int32_t SETTING_MISSING = -1;

// Text values (times, user commands) are read into buffers of this size.
inline constexpr int CONFIG_TEXT_SIZE = 100;

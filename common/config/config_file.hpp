// SPDX-License-Identifier: GPL-2.0-or-later
// The configuration file both programs share and the folder it lives in;
// its settings are the rows of settings_table.
#pragma once

// The programs' own folder: the configuration, the unit that "autostart"
// installs, the mail script and the flashing tool. A define, so that the
// paths and shell commands built on it are whole texts.
#define BEXO_FOLDER "/opt/bexod"

inline constexpr char inifile[] = BEXO_FOLDER "/bexo.cfg";

// The [User] commands run before a power-off.
inline constexpr int USER_COMMAND_COUNT = 5;

// Text values (times, commands) are held in buffers of this size, so a text
// of more than CONFIG_TEXT_SIZE - 1 bytes is not used.
inline constexpr int CONFIG_TEXT_SIZE = 100;

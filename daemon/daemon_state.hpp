// SPDX-License-Identifier: GPL-2.0-or-later
// The daemon's process-wide state: its settings, read once at start, the
// bus descriptor and the parsed daily shutdown time.
#pragma once

#include <cstdint>

#include "common/config/config_file.hpp"

extern int32_t timer;           // seconds of supply loss before power-off; negative: never
extern int32_t autostart;       // 1: install and enable the service unit
extern bool keep_service_unit;  // autostart could not be read: leave the unit as it is
extern int32_t sleepval;        // seconds between two monitoring cycles
extern uint8_t address;         // the board's bus address
extern int32_t mail;            // 1: start the mail script on supply loss
extern int32_t timed_boot;      // 1: program the board's timed boot
extern int32_t timed_shutdown;  // 1: power off every day at the shutdown time
extern char boot_time_text[CONFIG_TEXT_SIZE];  // time_boot, HH:mm:ss, for the time record
extern char str_shutdown[CONFIG_TEXT_SIZE];    // time_shutdown, HH:mm:ss, the daily shutdown

extern int fd;                       // bus descriptor; -1 until the bus is open
extern uint8_t buffer_shutdown[10];  // hour, minute, second of the daily shutdown
extern int event_line;               // the kernel's number of the board's event line

inline constexpr int EVENT_LINE_PROCESSOR_NUMBER = 27;

// Holds the running daemon's process id, under a write lock while it runs.
inline constexpr char PID_FILE[] = "/var/run/bexod.pid";

// Reads the nine settings of section General in their fixed order, as the
// settings table gives them: a number that cannot be read whole counts as
// missing, one outside its range as the table says, and a time too long for
// its buffer as missing.
void read_settings(void);

// Seconds to pause between cycles: the "sleep" setting, or 1 when it is
// missing (an endless pause otherwise); the table raises 0 to 1.
uint32_t cycle_pause_seconds(void);

// The countdown's seconds left, `limit` less `elapsed`, held within 32 bits
// (a limit of -2147483648 would wrap).
int32_t countdown_seconds_left(int32_t limit, int32_t elapsed);

// Splits a time text at its ':' separators (runs count as one) and stores
// field k, its leading decimal number cut to 8 bits, in fields[k - 1]; fields past
// `capacity` are ignored. Returns the number of fields stored.
int split_time_text(const char *text, uint8_t *fields, int capacity);

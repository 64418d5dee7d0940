// SPDX-License-Identifier: GPL-2.0-or-later
#include "daemon/daemon_state.hpp"

#include <cstdint>
#include <cstdlib>

#include "common/config/ini_store.hpp"
#include "common/config/int32_text.hpp"
#include "daemon/config_check.hpp"

int32_t timer;
int32_t autostart;
bool keep_service_unit;
int32_t sleepval;
uint8_t address;
int32_t mail;
int32_t timed_boot;
int32_t timed_shutdown;
char boot_time_text[CONFIG_TEXT_SIZE];
char str_shutdown[CONFIG_TEXT_SIZE];

int fd = -1;
uint8_t buffer_shutdown[10];
int event_line = EVENT_LINE_PROCESSOR_NUMBER;

namespace {

int32_t read_integer(const char *key, bool *unreadable = nullptr) {
    return config_read_integer(SECTION_GENERAL, key, SETTING_MISSING, inifile, unreadable);
}

}  // namespace

void read_settings(void) {
    timer = read_integer(KEY_TIMER);
    autostart = read_integer(KEY_AUTOSTART, &keep_service_unit);
    sleepval = read_integer(KEY_SLEEP);
    address = static_cast<uint8_t>(read_integer(KEY_ADDRESS) & 0xFF);
    mail = read_integer(KEY_MAIL);
    timed_boot = read_integer(KEY_TIMED_BOOT);
    ini_gets(SECTION_GENERAL, KEY_TIME_BOOT, nullptr, boot_time_text, sizeof boot_time_text,
             inifile);
    timed_shutdown = read_integer(KEY_TIMED_SHUTDOWN);
    ini_gets(SECTION_GENERAL, KEY_TIME_SHUTDOWN, nullptr, str_shutdown, sizeof str_shutdown,
             inifile);
}

uint32_t cycle_pause_seconds(void) { return sleepval < 1 ? 1 : static_cast<uint32_t>(sleepval); }

int32_t countdown_seconds_left(int32_t limit, int32_t elapsed) {
    const int64_t left = static_cast<int64_t>(limit) - elapsed;
    if (left < INT32_MIN) return INT32_MIN;
    if (left > INT32_MAX) return INT32_MAX;
    return static_cast<int32_t>(left);
}

int split_time_text(const char *text, uint8_t *fields, int capacity) {
    int count = 0;
    const char *c = text;
    while (*c != '\0' && count < capacity) {
        if (*c == ':') {
            ++c;
            continue;
        }
        // The number ends at the next ':' at the latest.
        fields[count++] = static_cast<uint8_t>(atoi32(c));
        while (*c != '\0' && *c != ':') {
            ++c;
        }
    }
    return count;
}

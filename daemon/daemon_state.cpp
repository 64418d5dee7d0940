// SPDX-License-Identifier: GPL-2.0-or-later
#include "daemon/daemon_state.hpp"

#include <cstdint>

#include "common/config/int32_text.hpp"
#include "common/config/settings_table.hpp"

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

void read_settings(void) {
    timer = setting_number(SETTING_TIMER, inifile);
    setting_value value;
    autostart = setting_number(SETTING_AUTOSTART, inifile, &value);
    keep_service_unit = value.state == SETTING_UNREADABLE;
    sleepval = setting_number(SETTING_SLEEP, inifile);
    address = static_cast<uint8_t>(setting_number(SETTING_ADDRESS, inifile));
    mail = setting_number(SETTING_MAIL, inifile);
    timed_boot = setting_number(SETTING_TIMED_BOOT, inifile);
    setting_text(SETTING_TIME_BOOT, inifile, boot_time_text, sizeof boot_time_text);
    timed_shutdown = setting_number(SETTING_TIMED_SHUTDOWN, inifile);
    setting_text(SETTING_TIME_SHUTDOWN, inifile, str_shutdown, sizeof str_shutdown);
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
        fields[count++] = static_cast<uint8_t>(int32_text_lead(c, 10));
        while (*c != '\0' && *c != ':') {
            ++c;
        }
    }
    return count;
}

// SPDX-License-Identifier: GPL-2.0-or-later
#include "common/hw/ups_protocol.hpp"

#include <unistd.h>

#include <cerrno>

#include "common/hw/bus_lock.hpp"
#include "common/hw/pi_i2c.hpp"

uint8_t buffer_out[UPS_BUFFER_SIZE];
uint8_t buffer_in[UPS_BUFFER_SIZE];

namespace {

constexpr double FULL_VOLTS = 4.2;
// The capacity is counted over this span, down from full to empty.
constexpr double CAPACITY_SPAN_VOLTS = 0.6;
constexpr double EMPTY_VOLTS = FULL_VOLTS - CAPACITY_SPAN_VOLTS;
constexpr double FULL_CAPACITY = 100;

struct command_info {
    uint8_t command;
    int request_length;
    int reply_length;
    unsigned wait_us;         // alone, or the only pause the command has
    unsigned status_wait_us;  // inside the status box
};

constexpr unsigned MS = 1000;

const command_info COMMANDS[] = {
    {CMD_IDENTITY, 1, 5, 200 * MS, 200 * MS},
    {CMD_CHARGE_ON, 1, 3, 20 * MS, 20 * MS},
    {CMD_CHARGE_OFF, 1, 3, 20 * MS, 20 * MS},
    {CMD_INPUT_VOLTAGE, 1, 3, 20 * MS, 100 * MS},
    {CMD_EXTERN_CURRENT, 1, 6, 20 * MS, 100 * MS},
    {CMD_BATTERY_CURRENT, 1, 6, 20 * MS, 100 * MS},
    {CMD_BATTERY_LEVEL, 1, 6, 300 * MS, 300 * MS},
    {CMD_POWER_SOURCE, 1, 3, 100 * MS, 100 * MS},
    {CMD_CHARGER_STATE, 1, 3, 100 * MS, 100 * MS},
    {CMD_SET_CHARGE_CURRENT, 2, 3, 1 * MS, 1 * MS},
    {CMD_BUTTON_QUERY, 1, 3, 1000 * MS, 1000 * MS},
    {CMD_BATTERY_LOW_QUERY, 1, 6, 1000 * MS, 1000 * MS},
    {CMD_PRIMARY_QUERY, 1, 6, 1000 * MS, 1000 * MS},
    {CMD_SET_ADDRESS, 2, 0, 0, 0},
    {CMD_ENTER_BOOTLOADER, 1, 0, 500 * MS, 500 * MS},
    {CMD_TIMED_BOOT_OFF, 1, 0, 20 * MS, 20 * MS},
    {CMD_RESUME, 1, 0, 100 * MS, 100 * MS},
    {CMD_TIMED_BOOT_ON, 1, 0, 100 * MS, 100 * MS},
    {CMD_TIME_RECORD, 10, 0, 1 * MS, 1 * MS},
    {CMD_ALERT, 1, 0, 100 * MS, 100 * MS},
    {CMD_RESTORED, 1, 0, 100 * MS, 100 * MS},
    {CMD_POWER_OFF, 1, 0, 100 * MS, 100 * MS},
};

// A byte outside the command set is a request of one byte, without reply or
// pause.
constexpr command_info UNKNOWN_COMMAND = {0, 1, 0, 0, 0};

const command_info &info_of(uint8_t command) {
    for (const command_info &info : COMMANDS) {
        if (info.command == command) return info;
    }
    return UNKNOWN_COMMAND;
}

int send_request(int fd, uint8_t command, ups_send_form form) {
    if (form == UPS_SEND_SMBUS_BYTE) {
        return piI2CWrite(fd, command);
    }
    buffer_out[0] = command;
    return ups_write(fd, buffer_out, ups_request_length(command)) < 0 ? -1 : 0;
}

}  // namespace

int ups_request_length(uint8_t command) { return info_of(command).request_length; }

int ups_reply_length(uint8_t command) { return info_of(command).reply_length; }

unsigned ups_wait(uint8_t command, ups_pacing pacing) {
    const command_info &info = info_of(command);
    return pacing == UPS_PACE_STATUS ? info.status_wait_us : info.wait_us;
}

int ups_write(int fd, const uint8_t *bytes, int length) {
    return static_cast<int>(write(fd, bytes, static_cast<size_t>(length)));
}

int ups_read(int fd, uint8_t *bytes, int length) {
    return static_cast<int>(read(fd, bytes, static_cast<size_t>(length)));
}

int ups_send(int fd, uint8_t command, ups_send_form form, const ups_waiting &waiting) {
    const bus_lock_result lock =
        bus_lock(fd, waiting.bus_wait_us, waiting.when_busy, waiting.pause);
    if (lock == BUS_BUSY && waiting.when_busy == BUS_GIVE_UP) {
        errno = EBUSY;
        return -1;
    }
    const int result = send_request(fd, command, form);
    if (lock == BUS_LOCKED) bus_unlock(fd);
    return result;
}

ups_result ups_exchange(int fd, uint8_t command, ups_send_form form, ups_pacing pacing,
                        int retry_limit, int read_failure_limit, const ups_waiting &waiting) {
    const unsigned wait_us = ups_wait(command, pacing);
    const int reply_length = ups_reply_length(command);
    int failed_reads = 0;
    for (int retries = 0;; ++retries) {
        // The bus is ours from the request to its reply.
        const bus_lock_result lock =
            bus_lock(fd, waiting.bus_wait_us, waiting.when_busy, waiting.pause);
        if (lock == BUS_BUSY && waiting.when_busy == BUS_GIVE_UP) return UPS_BUS_BUSY;
        send_request(fd, command, form);
        waiting.pause(wait_us);
        const int got = ups_read(fd, buffer_in, reply_length);
        if (lock == BUS_LOCKED) bus_unlock(fd);
        if (got < 0) {
            if (++failed_reads >= read_failure_limit) return UPS_READ_FAILED;
        } else if (buffer_in[0] == command) {
            return UPS_ANSWERED;
        } else {
            failed_reads = 0;
        }
        if (retries >= retry_limit) {
            return UPS_TIMED_OUT;
        }
    }
}

int32_t ups_reply_value16(const uint8_t *reply) {
    return static_cast<int32_t>(reply[1]) + 256 * static_cast<int32_t>(reply[2]);
}

double ups_input_volts(int32_t raw_millivolts) {
    return static_cast<double>(static_cast<float>(raw_millivolts)) / 1000;
}

double ups_battery_volts(int32_t raw) { return raw / 1024.0 * 3.3 / 0.6; }

double ups_battery_capacity(double volts) {
    return (1 - (FULL_VOLTS - volts) / CAPACITY_SPAN_VOLTS) * FULL_CAPACITY;
}

ups_battery_display ups_battery_classify(uint8_t state, double volts) {
    if (state == 2) {
        return BATTERY_NOT_AVAILABLE;
    }
    if (volts > FULL_VOLTS || state == 1) {
        return BATTERY_FULL;
    }
    if (volts < EMPTY_VOLTS) {
        return BATTERY_EMPTY;
    }
    return BATTERY_MEASURED;
}

double ups_shown_capacity(ups_battery_display display, double volts) {
    switch (display) {
    case BATTERY_FULL: return FULL_CAPACITY;
    case BATTERY_EMPTY: return 0;
    case BATTERY_NOT_AVAILABLE:
    case BATTERY_MEASURED: break;
    }
    return ups_battery_capacity(volts);
}

double ups_shown_volts(ups_battery_display display, double volts) {
    return display == BATTERY_FULL ? FULL_VOLTS : volts;
}

int ups_charge_current_ma(int code) {
    switch (code) {
    case 0: return 1000;
    case 1: return 500;
    case 2: return 300;
    default: return -1;
    }
}

int ups_charge_current_code(int milliamperes) {
    switch (milliamperes) {
    case 1000: return 0;
    case 500: return 1;
    case 300: return 2;
    default: return -1;
    }
}

bool ups_model_measures_extern_current(int model) { return model != 1 && model != 5; }

const char *ups_model_name(int model) {
    switch (model) {
    case 0: return "Advanced";
    case 1: return "Basic";
    case 4: return "Advanced mobile";
    case 5: return "Basic mobile";
    default: return nullptr;
    }
}

bool ups_battery_current_available(const uint8_t *reply) { return reply[3] != 2; }

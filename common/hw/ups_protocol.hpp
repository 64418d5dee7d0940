// SPDX-License-Identifier: GPL-2.0-or-later
// The UPS board's byte protocol: command bytes, reply layouts, waits, the
// echo-checked exchange and the decoding of its readings.
#pragma once

#include <cstdint>

#include "common/hw/bus_lock.hpp"

enum ups_command : uint8_t {
    // Queries, answered by a reply whose first byte echoes the command.
    CMD_IDENTITY = 0x22,
    CMD_CHARGE_ON = 0x29,
    CMD_CHARGE_OFF = 0x27,
    CMD_INPUT_VOLTAGE = 0xD0,
    CMD_EXTERN_CURRENT = 0xD1,
    CMD_BATTERY_CURRENT = 0xD2,
    CMD_BATTERY_LEVEL = 0x23,
    CMD_POWER_SOURCE = 0x36,
    CMD_CHARGER_STATE = 0x35,
    CMD_SET_CHARGE_CURRENT = 0x37,
    CMD_BUTTON_QUERY = 0x33,
    CMD_BATTERY_LOW_QUERY = 0x21,
    CMD_PRIMARY_QUERY = 0x45,
    // Requests without a reply.
    CMD_SET_ADDRESS = 0x41,
    CMD_ENTER_BOOTLOADER = 0x42,
    CMD_TIMED_BOOT_OFF = 0x55,
    CMD_RESUME = 0x44,
    CMD_TIMED_BOOT_ON = 0x53,
    CMD_TIME_RECORD = 0x54,
    CMD_ALERT = 0x43,
    CMD_RESTORED = 0x34,
    CMD_POWER_OFF = 0x49,
};

inline constexpr int UPS_BUFFER_SIZE = 10;

// How fast a reading is asked for: on its own (-vin, -pwrext, -pwrbat), or
// as one line of the status box, where three readings wait longer. Every
// other command has one pause, whatever the pacing.
enum ups_pacing { UPS_PACE_ALONE, UPS_PACE_STATUS };

// What the protocol fixes for each command, looked up by its byte: the
// request's length, the reply's length (0: no reply) and the pause, in
// microseconds, between the request and its reply or, for a request without
// a reply, before the sender's next step.
int ups_request_length(uint8_t command);
int ups_reply_length(uint8_t command);
unsigned ups_wait(uint8_t command, ups_pacing pacing = UPS_PACE_ALONE);

// Retries after the first attempt.
inline constexpr int UPS_RETRY_LIMIT = 1000;
inline constexpr int UPS_RETRY_LIMIT_STATUS_BATTERY = 100;

// The request buffer keeps the bytes of earlier requests; each request sets
// only the bytes it uses. Replies are read into the start of buffer_in.
extern uint8_t buffer_out[UPS_BUFFER_SIZE];
extern uint8_t buffer_in[UPS_BUFFER_SIZE];

enum ups_send_form {
    UPS_SEND_SMBUS_BYTE,  // SMBus byte write of the command (piI2CWrite); buffer_out untouched
    UPS_SEND_PLAIN,       // command into buffer_out[0], then a plain write of the request
};

enum ups_result {
    UPS_ANSWERED,     // buffer_in holds a reply whose first byte echoes the command
    UPS_TIMED_OUT,    // retry_limit + 1 attempts, none echoed
    UPS_READ_FAILED,  // read_failure_limit reply reads in a row failed; errno tells why
    UPS_BUS_BUSY,     // another process kept the bus; nothing was sent (waits that give up)
};

// How a caller waits: every pause of a transfer goes through `pause` (the
// daemon's runs its stop sequences there); another process's hold on the
// bus is waited out for at most `bus_wait_us`, and what then follows is
// `bus_wait_end` (see bus_lock.hpp).
struct ups_waiting {
    void (*pause)(unsigned microseconds);
    unsigned bus_wait_us;
    bus_wait_end when_busy;
};

// Every plain transfer on the bus goes through these two.
int ups_write(int fd, const uint8_t *bytes, int length);
int ups_read(int fd, uint8_t *bytes, int length);

// A request without a reply, sent while holding the bus lock. A plain
// request takes its parameter bytes from buffer_out[1...]. Returns 0, or -1
// with errno when the write failed (EBUSY: the bus was kept from a caller
// that gives up).
int ups_send(int fd, uint8_t command, ups_send_form form, const ups_waiting &waiting);

// One exchange: send the request, pause the command's wait with `pause`,
// read its reply into buffer_in; repeat from the request while the first
// reply byte does not echo `command`, at most retry_limit times after the
// first attempt. A failed read is retried the same way until
// read_failure_limit reads in a row have failed. Each attempt holds the bus
// lock from its request to its reply. A parameter byte goes in
// buffer_out[1] beforehand.
ups_result ups_exchange(int fd, uint8_t command, ups_send_form form, ups_pacing pacing,
                        int retry_limit, int read_failure_limit, const ups_waiting &waiting);

// Decoding of replies in buffer_in.
int32_t ups_reply_value16(const uint8_t *reply);  // reply[1] + 256 * reply[2]
double ups_input_volts(int32_t raw_millivolts);
double ups_battery_volts(int32_t raw);
double ups_battery_capacity(double volts);

enum ups_battery_display {
    BATTERY_NOT_AVAILABLE,  // state byte 2
    BATTERY_FULL,           // above 4.2 V or state byte 1: shown as full, whatever was read
    BATTERY_EMPTY,          // below 3.6 V: capacity shown as 0.00
    BATTERY_MEASURED,
};
ups_battery_display ups_battery_classify(uint8_t state, double volts);

// What a reading of class `display` at `volts` shows: the capacity in percent
// (100 when full, 0 when empty) and the voltage (4.2 when full).
double ups_shown_capacity(ups_battery_display display, double volts);
double ups_shown_volts(ups_battery_display display, double volts);

// Charging current: code 0 = 1000 mA, 1 = 500 mA, 2 = 300 mA.
int ups_charge_current_ma(int code);            // -1 for an unknown code
int ups_charge_current_code(int milliamperes);  // -1 for a current the board does not offer

// Model codes 1 and 5 have no external-current measurement.
bool ups_model_measures_extern_current(int model);

// The model's name from its code ("Advanced", "Basic", "Advanced mobile",
// "Basic mobile"); null for an unknown code.
const char *ups_model_name(int model);

// A battery-current reply whose state byte 3 is 2 carries no measurement.
bool ups_battery_current_available(const uint8_t *reply);

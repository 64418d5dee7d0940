// The UPS board's byte protocol: command bytes, reply layouts, waits, the
// echo-checked exchange and the decoding of its readings.
#pragma once

#include <cstdint>

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
inline constexpr int UPS_TIME_RECORD_SIZE = 10;

// Reply lengths.
inline constexpr int UPS_REPLY_IDENTITY = 5;
inline constexpr int UPS_REPLY_SHORT = 3;
inline constexpr int UPS_REPLY_LONG = 6;

// Pauses, in microseconds.
inline constexpr unsigned UPS_WAIT_IDENTITY = 200000;
inline constexpr unsigned UPS_WAIT_READING = 20000;  // -vin, -pwrext, -pwrbat, charger switch
inline constexpr unsigned UPS_WAIT_STATUS = 100000;  // exchanges inside -status
inline constexpr unsigned UPS_WAIT_BATTERY_LEVEL = 300000;
inline constexpr unsigned UPS_WAIT_SET_CHARGE_CURRENT = 1000;
inline constexpr unsigned UPS_WAIT_DAEMON_POLL = 1000000;
inline constexpr unsigned UPS_PAUSE_ACTION = 100000;  // after 'D', 'S', 'C', '4', 'I'
inline constexpr unsigned UPS_PAUSE_TIME_RECORD = 1000;
inline constexpr unsigned UPS_PAUSE_TIMED_BOOT_OFF = 20000;
inline constexpr unsigned UPS_PAUSE_ENTER_BOOTLOADER = 500000;

// Retries after the first attempt.
inline constexpr int UPS_RETRY_LIMIT = 1000;
inline constexpr int UPS_RETRY_LIMIT_STATUS_BATTERY = 100;

// The request buffer keeps the bytes of earlier requests; each request sets
// only the bytes it uses. Replies are read into the start of buffer_in.
extern uint8_t buffer_out[UPS_BUFFER_SIZE];
extern uint8_t buffer_in[UPS_BUFFER_SIZE];

enum ups_send_form {
    UPS_SEND_SMBUS_BYTE,  // SMBus byte write of the command (piI2CWrite); buffer_out untouched
    UPS_SEND_PLAIN,       // command into buffer_out[0], then a plain write of request_length bytes
};

enum ups_result {
    UPS_ANSWERED,     // buffer_in holds a reply whose first byte echoes the command
    UPS_TIMED_OUT,    // retry_limit + 1 attempts, none echoed
    UPS_READ_FAILED,  // a reply read failed; errno tells why
};

// Every plain transfer on the bus goes through these two.
int ups_write(int fd, const uint8_t *bytes, int length);
int ups_read(int fd, uint8_t *bytes, int length);

// One exchange: send the request, pause wait_us with `pause`, read
// reply_length bytes into buffer_in; repeat from the request while the first
// reply byte does not echo `command`, at most retry_limit times after the
// first attempt. A parameter byte goes in buffer_out[1] beforehand.
ups_result ups_exchange(int fd, uint8_t command, ups_send_form form, int request_length,
                        unsigned wait_us, int reply_length, int retry_limit,
                        void (*pause)(unsigned microseconds));

// Decoding of replies in buffer_in.
int32_t ups_reply_value16(const uint8_t *reply);  // reply[1] + 256 * reply[2]
double ups_input_volts(int32_t raw_millivolts);
double ups_battery_volts(int32_t raw);
double ups_battery_capacity(double volts);

enum ups_battery_display {
    BATTERY_NOT_AVAILABLE,  // state byte 2
    BATTERY_FULL,           // above 4.2 V or state byte 1: shown as 100.00 and 4.20
    BATTERY_EMPTY,          // below 3.6 V: capacity shown as 0.00
    BATTERY_MEASURED,
};
ups_battery_display ups_battery_classify(uint8_t state, double volts);

// Charging current: code 0 = 1000 mA, 1 = 500 mA, 2 = 300 mA.
int ups_charge_current_ma(int code);            // -1 for an unknown code
int ups_charge_current_code(int milliamperes);  // -1 for a current the board does not offer

// Model codes 1 and 5 have no external-current measurement.
bool ups_model_measures_extern_current(int model);

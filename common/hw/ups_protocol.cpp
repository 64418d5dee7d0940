#include "common/hw/ups_protocol.hpp"

#include <unistd.h>

#include "common/hw/pi_i2c.hpp"

uint8_t buffer_out[UPS_BUFFER_SIZE];
uint8_t buffer_in[UPS_BUFFER_SIZE];

namespace {

constexpr double FULL_VOLTS = 4.2;
constexpr double EMPTY_VOLTS = 3.6;
constexpr double CAPACITY_SPAN_VOLTS = 0.6;

void send_request(int fd, uint8_t command, ups_send_form form, int request_length) {
    if (form == UPS_SEND_SMBUS_BYTE) {
        piI2CWrite(fd, command);
    } else {
        buffer_out[0] = command;
        ups_write(fd, buffer_out, request_length);
    }
}

}  // namespace

int ups_write(int fd, const uint8_t *bytes, int length) {
    return static_cast<int>(write(fd, bytes, static_cast<size_t>(length)));
}

int ups_read(int fd, uint8_t *bytes, int length) {
    return static_cast<int>(read(fd, bytes, static_cast<size_t>(length)));
}

ups_result ups_exchange(int fd, uint8_t command, ups_send_form form, int request_length,
                        unsigned wait_us, int reply_length, int retry_limit,
                        void (*pause)(unsigned microseconds)) {
    for (int retries = 0;; ++retries) {
        send_request(fd, command, form, request_length);
        pause(wait_us);
        if (ups_read(fd, buffer_in, reply_length) < 0) {
            return UPS_READ_FAILED;
        }
        if (buffer_in[0] == command) {
            return UPS_ANSWERED;
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
    return (1 - (FULL_VOLTS - volts) / CAPACITY_SPAN_VOLTS) * 100;
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

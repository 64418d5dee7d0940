// SPDX-License-Identifier: GPL-2.0-or-later
#include "tool/tool_bus.hpp"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

#include "common/hw/pi_i2c.hpp"

uint8_t address;
int fd;
int model = 0;

void tool_pause(unsigned microseconds) { usleep(microseconds); }

namespace {

// A run that cannot read the board's reply ends at once: the user is there to
// run it again.
constexpr int READ_FAILURES_TO_GIVE_UP = 1;

// A user at a shell can wait a little for the daemon's turn on the bus.
constexpr unsigned BUS_WAIT_US = 5000000;
constexpr ups_waiting WAITING = {tool_pause, BUS_WAIT_US, BUS_GO_AHEAD};

void finish_exchange(ups_result result, int timeout_status) {
    if (result == UPS_READ_FAILED) {
        printf("Unable to select I2C device\n");
        exit(1);
    }
    if (result == UPS_TIMED_OUT) {
        printf("i2c-Request timed out \n");
        exit(timeout_status);
    }
}

}  // namespace


void tool_exchange(uint8_t command, ups_pacing pacing, int retry_limit, int timeout_status) {
    ups_result result = ups_exchange(fd, command, UPS_SEND_PLAIN, pacing, retry_limit,
                                     READ_FAILURES_TO_GIVE_UP, WAITING);
    finish_exchange(result, timeout_status);
}

void tool_identity_exchange(void) {
    int identity_fd = piI2CSetup(address);
    ups_result result = ups_exchange(identity_fd, CMD_IDENTITY, UPS_SEND_SMBUS_BYTE, UPS_PACE_ALONE,
                                     UPS_RETRY_LIMIT, READ_FAILURES_TO_GIVE_UP, WAITING);
    finish_exchange(result, 1);
    close(identity_fd);
}

void tool_send(uint8_t command) { ups_send(fd, command, UPS_SEND_PLAIN, WAITING); }

// SPDX-License-Identifier: GPL-2.0-or-later
#include "daemon/board.hpp"

#include <syslog.h>

#include <cerrno>

#include "common/hw/pi_i2c.hpp"
#include "common/support/log.hpp"
#include "daemon/daemon_pause.hpp"
#include "daemon/daemon_state.hpp"
#include "daemon/notify.hpp"

namespace {

// The Pi's I2C controller copes badly with the board's clock stretching, so
// a failed read now and then is expected; only a run of them means the board
// is gone.
constexpr int QUERY_READ_FAILURES_TO_GIVE_UP = 5;
// A reading for NUT must not hold the daemon's own queries back: a board
// that does not echo is asked twice more, a failed read gives it up at once.
constexpr int READING_RETRIES = 2;
constexpr int READING_READ_FAILURES_TO_GIVE_UP = 1;

}  // namespace

bool board_open(void) {
    fd = piI2CSetup(address);
    return board_send(CMD_RESUME) == 0;
}

int board_send(uint8_t command) {
    const int result = ups_send(fd, command, UPS_SEND_SMBUS_BYTE, daemon_waiting);
    const int write_error = errno;
    daemon_pause(ups_wait(command));
    errno = write_error;
    return result;
}

void board_alert_at_stop(void) {
    if (fd >= 0) ups_send(fd, CMD_ALERT, UPS_SEND_SMBUS_BYTE, daemon_waiting);
}

void board_send_time_record(void) {
    ups_send(fd, CMD_TIME_RECORD, UPS_SEND_PLAIN, daemon_waiting);
    daemon_pause(ups_wait(CMD_TIME_RECORD));
}

bool board_query(uint8_t command) {
    switch (ups_exchange(fd, command, UPS_SEND_SMBUS_BYTE, UPS_PACE_ALONE, UPS_RETRY_LIMIT,
                         QUERY_READ_FAILURES_TO_GIVE_UP, daemon_waiting)) {
    case UPS_ANSWERED: notify_board_answered(true); return true;
    case UPS_TIMED_OUT:
        Log(LOG_WARNING, "BEXOD:  i2c-Request timed out \n");
        notify_board_answered(false);
        return false;
    case UPS_BUS_BUSY: return false;  // only for waits that give up, not the daemon's
    case UPS_READ_FAILED: break;
    }
    log_fatal("BEXOD:  Unable to select I2C device\n");
}

bool board_supply_present(void) { return board_query(CMD_PRIMARY_QUERY) && buffer_in[1] == 1; }

ups_result board_read(uint8_t command, bool go_ahead) {
    return ups_exchange(fd, command, UPS_SEND_SMBUS_BYTE, UPS_PACE_STATUS, READING_RETRIES,
                        READING_READ_FAILURES_TO_GIVE_UP,
                        go_ahead ? reading_waiting_going_ahead : reading_waiting);
}

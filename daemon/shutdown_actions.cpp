// SPDX-License-Identifier: GPL-2.0-or-later
#include "daemon/shutdown_actions.hpp"

#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "common/config/config_file.hpp"
#include "common/config/settings_table.hpp"
#include "common/hw/gpiolib.hpp"
#include "common/hw/ups_protocol.hpp"
#include "common/support/log.hpp"
#include "daemon/config_check.hpp"
#include "daemon/daemon_pause.hpp"
#include "daemon/daemon_state.hpp"
#include "daemon/notify.hpp"
#include "daemon/nut_export.hpp"

namespace {

constexpr int COMMAND_BUFFER_SIZE = 4096;
// Each shell command on its way; the name is part of the programs' fixed
// interface.
char String[COMMAND_BUFFER_SIZE];

// Set once the system has accepted a power-off or reboot. Its shutdown stops
// the daemon soon; until then no event may start a second one. A shutdown
// that was cancelled, or never began, must not leave the board unwatched:
// after twice systemd's default stop time-out the daemon watches again.
bool stop_accepted = false;
time_t stop_accepted_at;  // on the monotonic clock
constexpr time_t SYSTEM_STOP_WAIT_SECONDS = 180;

// Steps 1 to 4 of both stop sequences. Before the bus is open there is no
// board to tell.
void alert_board_of_stop(void) {
    gpio_change_out();
    if (fd >= 0) {
        ups_send(fd, CMD_ALERT, UPS_SEND_SMBUS_BYTE, daemon_waiting);
        time_shutdown();
    }
    daemon_pause(ups_wait(CMD_ALERT));
}

// Through the shell, as the system's own tools would; should that fail, the
// daemon removes the file itself so that no stale number stays behind.
void remove_pid_file(void) {
    snprintf(String, sizeof String, "sudo rm -r %s", PID_FILE);
    if (run_shell(String) != 0) unlink(PID_FILE);
}

// Asks the system to power off or reboot; a request that failed leaves the
// daemon monitoring, so the next event can try again.
void request_system_stop(const char *command) {
    notify_event(NOTIFY_SHUTDOWN);
    if (run_shell(command) == 0) {
        stop_accepted = true;
        stop_accepted_at = monotonic_seconds();
    }
}

struct tm local_time_now(void) {
    time_t now = time(nullptr);
    return *localtime(&now);
}

}  // namespace

void hangup_sequence(void) {
    alert_board_of_stop();
    Log("BEXOD: Received SIGHUP signal.\n");
}

void terminate_sequence(void) {
    if (stop_accepted) nut_export_keep_at_exit();
    alert_board_of_stop();
    Log("BEXOD: Received SIGTERM signal.\n");
    remove_pid_file();
    exit(0);
}

void user_shutdown(void) {
    char commands[USER_COMMAND_COUNT][CONFIG_TEXT_SIZE];
    setting_value values[USER_COMMAND_COUNT];
    for (int i = 0; i < USER_COMMAND_COUNT; ++i) {
        values[i] = setting_text(static_cast<setting_id>(SETTING_COMMAND1 + i), inifile,
                                 commands[i], CONFIG_TEXT_SIZE);
    }
    for (int i = 0; i < USER_COMMAND_COUNT; ++i) {
        // Part of a command run as root could do anything; it is not run.
        if (values[i].state == SETTING_TOO_LONG) {
            config_log_unused_command(static_cast<setting_id>(SETTING_COMMAND1 + i),
                                      values[i].length);
        } else if (commands[i][0] != '\0') {
            snprintf(String, sizeof String, "%s", commands[i]);
            run_shell(String);
        }
    }
}

void time_shutdown(void) {
    struct tm now = local_time_now();
    if (timed_boot != 1) {
        return;
    }
    buffer_out[0] = CMD_TIME_RECORD;
    buffer_out[4] = static_cast<uint8_t>(now.tm_hour);
    buffer_out[5] = static_cast<uint8_t>(now.tm_min);
    buffer_out[6] = static_cast<uint8_t>(now.tm_sec);
    ups_send(fd, CMD_TIME_RECORD, UPS_SEND_PLAIN, daemon_waiting);
    daemon_pause(ups_wait(CMD_TIME_RECORD));
}

void power_off_sequence(void) {
    user_shutdown();
    time_shutdown();
    request_system_stop("sudo systemctl poweroff");
}

void reboot_system(void) { request_system_stop("sudo systemctl reboot"); }

bool awaiting_system_stop(void) {
    return stop_accepted && monotonic_seconds() - stop_accepted_at < SYSTEM_STOP_WAIT_SECONDS;
}

bool system_stop_never_came(void) {
    if (!stop_accepted || awaiting_system_stop()) {
        return false;
    }
    stop_accepted = false;
    return true;
}

void gpio_change_out(void) {
    if (gpio_direction(event_line, GPIO_OUT) != 0)
        log_fatal("BEXOD:  Unable to change to output\n");
    if (gpio_write(event_line, 1) != 0) log_fatal("BEXOD:  Unable to set output high\n");
    Log(LOG_INFO, "BEXOD:  Set GPIO to output\n");
}

void gpio_change_in(void) {
    if (gpio_direction(event_line, GPIO_IN) != 0) log_fatal("BEXOD:  Unable to change to input\n");
    Log(LOG_INFO, "BEXOD:  Set GPIO to input\n");
}

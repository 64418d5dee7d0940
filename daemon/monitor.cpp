// SPDX-License-Identifier: GPL-2.0-or-later
#include "daemon/monitor.hpp"

#include <csignal>
#include <ctime>
#include <syslog.h>

#include "common/config/config_file.hpp"
#include "common/hw/gpiolib.hpp"
#include "common/hw/ups_protocol.hpp"
#include "common/support/log.hpp"
#include "common/support/timer.hpp"
#include "daemon/daemon_pause.hpp"
#include "daemon/daemon_state.hpp"
#include "daemon/notify.hpp"
#include "daemon/nut_export.hpp"
#include "daemon/shutdown_actions.hpp"

namespace {

constexpr int32_t COUNTDOWN_PERIOD_MS = 1000;
constexpr int DAILY_SHUTDOWN_WINDOW_SECONDS = 10;
// The Pi's I2C controller copes badly with the board's clock stretching, so
// a failed read now and then is expected; only a run of them means the board
// is gone.
constexpr int READ_FAILURES_TO_GIVE_UP = 5;

volatile sig_atomic_t var = 0;  // seconds of supply loss the interval timer counted
int timer_run = 0;              // 1 while a countdown runs ("timer" not negative)
time_t epoch_time;              // the time of day of the last daily check
struct tm *tm_p;                // ... as local time
// A Pi without a real-time clock boots with the time saved at its last
// shutdown, which may lie inside the window that caused it. The window
// counts only once a check has seen a time outside it.
bool seen_outside_daily_window = false;

enum countdown_end { SHUTDOWN_BUTTON, BATTERY_LOW, COUNTDOWN_EXPIRED, SUPPLY_RESTORED };

// Asks the board until it echoes the command, one attempt a second.
// False when it never does: that counts as nothing to report.
bool query_board(uint8_t command) {
    switch (ups_exchange(fd, command, UPS_SEND_SMBUS_BYTE, UPS_PACE_ALONE, UPS_RETRY_LIMIT,
                         READ_FAILURES_TO_GIVE_UP, daemon_waiting)) {
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

bool shutdown_button_pressed(void) { return query_board(CMD_BUTTON_QUERY) && buffer_in[1] == 1; }

bool battery_low(void) { return query_board(CMD_BATTERY_LOW_QUERY) && buffer_in[5] == 1; }

bool supply_present(void) { return query_board(CMD_PRIMARY_QUERY) && buffer_in[1] == 1; }

void hand_line_back_to_board(void) {
    send_action(CMD_RESUME);
    gpio_change_in();
    send_action(CMD_RESTORED);
    Log("BEXOD:  Voltage present!\n");
    nut_export_supply_restored();
    notify_event(NOTIFY_ONLINE);
}

countdown_end follow_countdown(void) {
    for (;;) {
        nut_export_countdown(timer_run == 1, countdown_seconds_left(timer, var));
        if (shutdown_button_pressed()) {
            Log(LOG_WARNING, "BEXOD:  Received manual Shutdown signal!\n");
            power_off_sequence();
            return SHUTDOWN_BUTTON;
        }
        if (battery_low()) {
            Log(LOG_WARNING, "BEXOD: Received Shutdown signal through low battery capacity.\n");
            notify_event(NOTIFY_LOWBATT);
            notify_event(NOTIFY_FSD);
            nut_export_power_off_decided();
            send_action(CMD_POWER_OFF);
            power_off_sequence();
            return BATTERY_LOW;
        }
        if (var > timer && timer_run == 1) {
            return COUNTDOWN_EXPIRED;
        }
        if (supply_present()) {
            hand_line_back_to_board();
            return SUPPLY_RESTORED;
        }
    }
}

int follow_supply_loss(void) {
    if (mail == 1) {
        run_shell("python " BEXO_FOLDER "/scripts/mail.py &");
        Log("BEXOD:  Sending Mail notification!\n");
    }
    if (start_timer(COUNTDOWN_PERIOD_MS, timer_handler) != 0) {
        Log(LOG_ERR, "BEXOD:  timer error\n");
        return 1;
    }
    timer_run = timer >= 0 ? 1 : 0;
    countdown_end end = follow_countdown();
    stop_timer();
    if (end == COUNTDOWN_EXPIRED) {
        Log(LOG_WARNING, "BEXOD:  Received Shutdown Signal through timer expired.\n");
        notify_event(NOTIFY_FSD);
        nut_export_power_off_decided();
        send_action(CMD_POWER_OFF);
        power_off_sequence();
    }
    return 0;
}

// The line reads 1: take it over from the board and ask what happened.
int handle_event(void) {
    var = 0;
    timer_run = 0;
    gpio_change_out();
    send_action(CMD_ALERT);
    if (!query_board(CMD_BUTTON_QUERY)) {
        return 0;
    }
    switch (buffer_in[1]) {
    case 1:
        Log(LOG_WARNING, "BEXOD:  Received manual Shutdown signal!\n");
        power_off_sequence();
        return 0;
    case 2:
        Log("BEXOD:  Received manual Reboot signal!\n");
        reboot_system();
        return 0;
    default:
        Log(LOG_WARNING, "BEXOD:  Voltage loss!\n");
        nut_export_supply_lost();
        notify_event(NOTIFY_ONBATT);
        return follow_supply_loss();
    }
}

bool inside_daily_shutdown_window(const struct tm *now) {
    return now->tm_hour == buffer_shutdown[0] && now->tm_min == buffer_shutdown[1] &&
           now->tm_sec >= buffer_shutdown[2] &&
           now->tm_sec < buffer_shutdown[2] + DAILY_SHUTDOWN_WINDOW_SECONDS;
}

void check_daily_shutdown(void) {
    if (timed_shutdown != 1) {
        return;
    }
    epoch_time = time(nullptr);
    tm_p = localtime(&epoch_time);
    if (!inside_daily_shutdown_window(tm_p)) {
        seen_outside_daily_window = true;
    } else if (seen_outside_daily_window) {
        Log(LOG_WARNING, "BEXOD:  Shutdown through timed shutdown - timer expired!\n");
        power_off_sequence();
    }
}

// A power-off or reboot the system accepted but never carried out: tell the
// board the daemon watches again, as a start does, and hand the line back,
// so that the daemon's own high line is not taken for a new event.
void watch_again(void) {
    Log(LOG_WARNING, "BEXOD:  The system did not go down; watching the board again\n");
    send_action(CMD_RESUME);
    gpio_change_in();
    nut_export_resume();
}

}  // namespace

void timer_handler(void) { var = var + 1; }

int process(void) {
    if (system_stop_never_came()) {
        watch_again();
    }
    // The system is going down: acting on the line again would power off a
    // second time for the same event.
    if (awaiting_system_stop()) {
        return 0;
    }
    if (gpio_read(event_line) == 1) {
        return handle_event();
    }
    check_daily_shutdown();
    return 0;
}

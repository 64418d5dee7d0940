// SPDX-License-Identifier: GPL-2.0-or-later
#include "daemon/monitor.hpp"

#include <csignal>
#include <ctime>
#include <syslog.h>

#include "common/config/config_file.hpp"
#include "common/hw/ups_protocol.hpp"
#include "common/support/log.hpp"
#include "common/support/timer.hpp"
#include "daemon/board.hpp"
#include "daemon/daemon_pause.hpp"
#include "daemon/daemon_state.hpp"
#include "daemon/event_line.hpp"
#include "daemon/notify.hpp"
#include "daemon/nut_export.hpp"
#include "daemon/shutdown_actions.hpp"

namespace {

constexpr int32_t COUNTDOWN_PERIOD_MS = 1000;
constexpr int DAILY_SHUTDOWN_WINDOW_SECONDS = 10;

volatile sig_atomic_t var = 0;  // seconds of supply loss the interval timer counted
int timer_run = 0;              // 1 while a countdown runs ("timer" not negative)
time_t epoch_time;              // the time of day of the last daily check
struct tm *tm_p;                // ... as local time
// A Pi without a real-time clock boots with the time saved at its last
// shutdown, which may lie inside the window that caused it. The window
// counts only once a check has seen a time outside it.
bool seen_outside_daily_window = false;

enum countdown_end { SHUTDOWN_BUTTON, BATTERY_LOW, COUNTDOWN_EXPIRED, SUPPLY_RESTORED };

bool shutdown_button_pressed(void) { return board_query(CMD_BUTTON_QUERY) && buffer_in[1] == 1; }

bool battery_low(void) { return board_query(CMD_BATTERY_LOW_QUERY) && buffer_in[5] == 1; }

// The supply is back: the board is told, the line handed back, and the
// next cycle waits for the line again.
void supply_restored(void) {
    board_send(CMD_RESUME);
    gpio_change_in();
    board_send(CMD_RESTORED);
    Log("BEXOD:  Voltage present!\n");
    nut_export_supply_restored();
    notify_event(NOTIFY_ONLINE);
}

// One pass a round: the buttons, the battery, the count, the supply.
countdown_end follow_countdown(void) {
    for (;;) {
        nut_export_countdown(timer_run == 1, countdown_seconds_left(timer, var));
        if (shutdown_button_pressed()) return SHUTDOWN_BUTTON;
        if (battery_low()) return BATTERY_LOW;
        if (var > timer && timer_run == 1) return COUNTDOWN_EXPIRED;
        if (board_supply_present()) return SUPPLY_RESTORED;
    }
}

// A supply loss, from its log line to its end: the supply returns, or the
// daemon powers off. A low-battery or countdown power-off returns only when
// the supply came back, and then takes the supply-restored path too; a
// shutdown button's never returns.
int follow_supply_loss(void) {
    Log(LOG_WARNING, "BEXOD:  Voltage loss!\n");
    nut_export_supply_lost();
    notify_event(NOTIFY_ONBATT);
    if (mail == 1) {
        run_shell("python " BEXO_FOLDER "/scripts/mail.py &");
        Log("BEXOD:  Sending Mail notification!\n");
    }
    if (start_timer(COUNTDOWN_PERIOD_MS, timer_handler) != 0) {
        Log(LOG_ERR, "BEXOD:  timer error\n");
        return 1;
    }
    timer_run = timer >= 0 ? 1 : 0;
    const countdown_end end = follow_countdown();
    stop_timer();
    switch (end) {
    case SHUTDOWN_BUTTON: power_off(OFF_SHUTDOWN_BUTTON); break;
    case BATTERY_LOW: power_off(OFF_LOW_BATTERY); break;
    case COUNTDOWN_EXPIRED: power_off(OFF_COUNTDOWN_EXPIRED); break;
    case SUPPLY_RESTORED: break;
    }
    supply_restored();
    return 0;
}

// The line reads 1: take it over from the board and ask what happened.
int handle_event(void) {
    var = 0;
    timer_run = 0;
    gpio_change_out();
    board_send(CMD_ALERT);
    if (!board_query(CMD_BUTTON_QUERY)) {
        return 0;
    }
    switch (buffer_in[1]) {
    case 1: power_off(OFF_SHUTDOWN_BUTTON); return 0;
    case 2: reboot_system(); return 0;
    default: return follow_supply_loss();
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
        power_off(OFF_DAILY_TIME);
    }
}

}  // namespace

void timer_handler(void) { var = var + 1; }

int process(void) {
    if (event_line_raised()) {
        return handle_event();
    }
    check_daily_shutdown();
    return 0;
}

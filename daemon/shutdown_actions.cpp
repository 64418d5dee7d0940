// SPDX-License-Identifier: GPL-2.0-or-later
#include "daemon/shutdown_actions.hpp"

#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "common/config/config_file.hpp"
#include "common/config/settings_table.hpp"
#include "common/hw/ups_protocol.hpp"
#include "common/support/log.hpp"
#include "daemon/board.hpp"
#include "daemon/config_check.hpp"
#include "daemon/daemon_pause.hpp"
#include "daemon/daemon_state.hpp"
#include "daemon/event_line.hpp"
#include "daemon/notify.hpp"
#include "daemon/nut_export.hpp"

namespace {

constexpr int COMMAND_BUFFER_SIZE = 4096;
constexpr int MESSAGE_SIZE = 512;
// Each shell command on its way; the name is part of the programs' fixed
// interface.
char String[COMMAND_BUFFER_SIZE];

constexpr char POWER_OFF_COMMAND[] = "sudo systemctl poweroff";
constexpr char REBOOT_COMMAND[] = "sudo systemctl reboot";

// A shutdown the system accepted stops the daemon soon. One that was
// cancelled, or never began, must not leave the board unwatched: after
// twice systemd's default stop time-out the daemon asks again (power-off)
// or watches again (reboot).
constexpr uint32_t SYSTEM_STOP_WAIT_SECONDS = 180;
// A refused power-off is asked again at this pace, and said at most once
// a minute.
constexpr uint32_t REFUSED_RETRY_SECONDS = 10;
constexpr int64_t REFUSAL_LOG_SECONDS = 60;
constexpr int64_t NEVER = -1;

struct reason_info {
    const char *log_line;
    bool tells_board;           // 'I' before the user commands
    bool ends_when_supply_back; // the decision stands only while on battery
};

// In the order of power_off_reason.
const reason_info REASONS[] = {
    {"BEXOD:  Received manual Shutdown signal!\n", false, false},
    {"BEXOD: Received Shutdown signal through low battery capacity.\n", true, true},
    {"BEXOD:  Received Shutdown Signal through timer expired.\n", true, true},
    {"BEXOD:  Shutdown through timed shutdown - timer expired!\n", false, false},
};
static_assert(sizeof REASONS / sizeof REASONS[0] == OFF_DAILY_TIME + 1);

int64_t refusal_logged_at = NEVER;  // monotonic seconds; once a minute per decision

// Steps 1 to 4 of both stop sequences. Before the bus is open there is no
// board to tell.
void alert_board_of_stop(void) {
    gpio_change_out();
    if (fd >= 0) {
        board_alert_at_stop();
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

struct tm local_time_now(void) {
    time_t now = time(nullptr);
    return *localtime(&now);
}

void report_refusal(const char *command, int status) {
    const int64_t now = monotonic_seconds();
    if (refusal_logged_at != NEVER && now - refusal_logged_at < REFUSAL_LOG_SECONDS) return;
    refusal_logged_at = now;
    char message[MESSAGE_SIZE];
    if (status != -1 && WIFEXITED(status)) {
        snprintf(message, sizeof message, "BEXOD:  \"%s\" failed with exit status %d\n", command,
                 WEXITSTATUS(status));
    } else if (status != -1 && WIFSIGNALED(status)) {
        snprintf(message, sizeof message, "BEXOD:  \"%s\" ended by signal %d\n", command,
                 WTERMSIG(status));
    } else {
        snprintf(message, sizeof message, "BEXOD:  \"%s\" could not be run\n", command);
    }
    Log(LOG_ERR, message);
}

// True when the system accepted the request (the command exited with 0).
// From the request on, the daemon's end leaves the NUT file saying what it
// says: the system is going down.
bool ask_system(const char *command) {
    nut_export_keep_at_exit(true);
    const int status = run_shell(command);
    if (status == 0) return true;
    nut_export_keep_at_exit(false);
    report_refusal(command, status);
    return false;
}

// The daemon only waits for the system's SIGTERM meanwhile: no cycle reads
// the line, and the board hears nothing but NUT's readings.
void wait_for_system_stop(uint32_t seconds) { daemon_idle_whole(seconds); }

// A reboot that did not happen: tell the board the daemon watches again, as
// a start does, and hand the line back, so that the daemon's own high line
// is not taken for a new event.
void watch_again(void) {
    Log(LOG_WARNING, "BEXOD:  The system did not go down; watching the board again\n");
    board_send(CMD_RESUME);
    gpio_change_in();
    nut_export_keep_at_exit(false);
    nut_export_resume();
}

}  // namespace

void hangup_sequence(void) {
    alert_board_of_stop();
    Log("BEXOD: Received SIGHUP signal.\n");
}

void terminate_sequence(void) {
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
    board_send_time_record();
}

void power_off(power_off_reason reason) {
    const reason_info &why = REASONS[reason];
    Log(LOG_WARNING, why.log_line);
    if (reason == OFF_LOW_BATTERY) notify_event(NOTIFY_LOWBATT);
    if (why.tells_board) notify_event(NOTIFY_FSD);
    if (nut_export_power_off_decided(reason == OFF_LOW_BATTERY)) {
        daemon_hostsync(static_cast<uint32_t>(nut_export_hostsync_seconds()));
    }
    if (why.tells_board) board_send(CMD_POWER_OFF);
    user_shutdown();
    time_shutdown();
    notify_event(NOTIFY_SHUTDOWN);
    refusal_logged_at = NEVER;
    for (;;) {
        const bool accepted = ask_system(POWER_OFF_COMMAND);
        wait_for_system_stop(accepted ? SYSTEM_STOP_WAIT_SECONDS : REFUSED_RETRY_SECONDS);
        if (why.ends_when_supply_back && board_supply_present()) {
            nut_export_keep_at_exit(false);
            return;
        }
    }
}

void reboot_system(void) {
    Log("BEXOD:  Received manual Reboot signal!\n");
    notify_event(NOTIFY_SHUTDOWN);
    refusal_logged_at = NEVER;
    if (ask_system(REBOOT_COMMAND)) wait_for_system_stop(SYSTEM_STOP_WAIT_SECONDS);
    watch_again();
}

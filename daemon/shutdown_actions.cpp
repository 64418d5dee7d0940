// SPDX-License-Identifier: GPL-2.0-or-later
#include "daemon/shutdown_actions.hpp"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "common/config/ini_store.hpp"
#include "common/hw/gpiolib.hpp"
#include "common/hw/pi_i2c.hpp"
#include "common/hw/ups_protocol.hpp"
#include "common/support/log.hpp"
#include "daemon/daemon_state.hpp"
#include "daemon/notify.hpp"
#include "daemon/nut_export.hpp"

namespace {

constexpr int COMMAND_BUFFER_SIZE = 4096;
char String[COMMAND_BUFFER_SIZE];

volatile sig_atomic_t hangup_pending = 0;
volatile sig_atomic_t terminate_pending = 0;

// Which stop sequence runs. Its own pauses must not start it again; a
// SIGTERM may still end a SIGHUP sequence half-way, and nothing interrupts
// the SIGTERM sequence.
enum stop_state { RUNNING, IN_HANGUP_SEQUENCE, IN_TERMINATE_SEQUENCE };
stop_state stopping = RUNNING;

// Set once the system has accepted a power-off or reboot. Its shutdown stops
// the daemon soon; until then no event may start a second one. A shutdown
// that was cancelled, or never began, must not leave the board unwatched:
// after twice systemd's default stop time-out the daemon watches again.
bool stop_accepted = false;
time_t stop_accepted_at;
constexpr time_t SYSTEM_STOP_WAIT_SECONDS = 180;

// Another process may delay the daemon once, and only by little: a bexo
// stopped with Ctrl-Z while it holds the bus must not hold back a power-off.
constexpr unsigned BUS_WAIT_US = 2000000;

// Commands run for the daemon get the usual mask, not the daemon's own 0.
constexpr mode_t COMMAND_CREATION_MASK = 022;

void fill_signal_set(sigset_t *set) {
    sigemptyset(set);
    sigaddset(set, SIGHUP);
    sigaddset(set, SIGTERM);
    sigaddset(set, SIGINT);
    sigaddset(set, SIGQUIT);
    sigaddset(set, SIGALRM);
}

bool stop_signal_pending(void) {
    switch (stopping) {
    case RUNNING: return terminate_pending || hangup_pending;
    case IN_HANGUP_SEQUENCE: return terminate_pending;
    case IN_TERMINATE_SEQUENCE: return false;
    }
    return false;
}

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

void hangup_sequence(void) {
    alert_board_of_stop();
    Log("BEXOD: Received SIGHUP signal.\n");
}

// Through the shell, as the system's own tools would; should that fail, the
// daemon removes the file itself so that no stale number stays behind.
void remove_pid_file(void) {
    snprintf(String, sizeof String, "sudo rm -r %s", PID_FILE);
    if (run_shell(String) != 0) unlink(PID_FILE);
}

[[noreturn]] void terminate_sequence(void) {
    if (stop_accepted) nut_export_keep_at_exit();
    alert_board_of_stop();
    Log("BEXOD: Received SIGTERM signal.\n");
    remove_pid_file();
    exit(0);
}

void run_pending_stop_sequences(void) {
    while (stop_signal_pending()) {
        if (terminate_pending) {
            stopping = IN_TERMINATE_SEQUENCE;
            terminate_sequence();
        }
        hangup_pending = 0;
        stopping = IN_HANGUP_SEQUENCE;
        hangup_sequence();
        stopping = RUNNING;
    }
}

// Waits without the race of a signal that arrives just before the wait:
// the signals stay blocked until ppoll unblocks them atomically.
void pause_for(struct timespec duration) {
    sigset_t watched;
    sigset_t previous;
    fill_signal_set(&watched);
    sigprocmask(SIG_BLOCK, &watched, &previous);
    if (!stop_signal_pending()) {
        ppoll(nullptr, 0, &duration, &previous);
    }
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    run_pending_stop_sequences();
}

// SIGCHLD only has to end the wait for a command; there is nothing to do.
void note_child_ended(int) {}

void wake_on_child_end(void) {
    struct sigaction action = {};
    action.sa_handler = note_child_ended;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_NOCLDSTOP;
    sigaction(SIGCHLD, &action, nullptr);
}

[[noreturn]] void exec_shell(const char *command) {
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    umask(COMMAND_CREATION_MASK);
    // The bus and its lock stay the daemon's, however long the command runs.
    if (fd >= 0) close(fd);
    execl("/bin/sh", "sh", "-c", command, static_cast<char *>(nullptr));
    _exit(127);
}

// Waits for the command's shell, running every stop sequence that arrives
// meanwhile at once. Should one end the daemon, the command goes on.
// Returns the wait status, as system() does, or -1.
int wait_for_command(pid_t child) {
    for (;;) {
        sigset_t watched;
        sigset_t previous;
        fill_signal_set(&watched);
        sigaddset(&watched, SIGCHLD);
        sigprocmask(SIG_BLOCK, &watched, &previous);
        int status = 0;
        const pid_t ended = waitpid(child, &status, WNOHANG);
        const bool failed = ended < 0 && errno != EINTR;
        if (ended == 0 && !stop_signal_pending()) {
            ppoll(nullptr, 0, nullptr, &previous);
        }
        sigprocmask(SIG_SETMASK, &previous, nullptr);
        run_pending_stop_sequences();
        if (ended == child) {
            return status;
        }
        if (failed) {
            return -1;
        }
    }
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

const ups_waiting daemon_waiting = {daemon_pause, BUS_WAIT_US, BUS_GO_AHEAD};

time_t monotonic_seconds(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec;
}

void signal_handler(int signal_number) {
    if (signal_number == SIGHUP) {
        hangup_pending = 1;
    } else if (signal_number == SIGTERM) {
        terminate_pending = 1;
    }
}

void daemon_pause(unsigned microseconds) {
    pause_for({static_cast<time_t>(microseconds / 1000000),
               static_cast<long>(microseconds % 1000000) * 1000});
}

void daemon_pause_seconds(uint32_t seconds) { pause_for({static_cast<time_t>(seconds), 0}); }

int send_action(uint8_t command) {
    const int result = ups_send(fd, command, UPS_SEND_SMBUS_BYTE, daemon_waiting);
    const int write_error = errno;
    daemon_pause(ups_wait(command));
    errno = write_error;
    return result;
}

int run_shell(const char *command) {
    wake_on_child_end();
    fflush(stdout);
    fflush(stderr);
    const pid_t child = fork();
    if (child < 0) {
        return -1;
    }
    if (child == 0) {
        exec_shell(command);
    }
    return wait_for_command(child);
}

void user_shutdown(void) {
    char commands[USER_COMMAND_COUNT][CONFIG_TEXT_SIZE];
    for (int i = 0; i < USER_COMMAND_COUNT; ++i) {
        ini_gets(SECTION_USER, KEY_COMMANDS[i], nullptr, commands[i], CONFIG_TEXT_SIZE, inifile);
    }
    for (int i = 0; i < USER_COMMAND_COUNT; ++i) {
        if (commands[i][0] != '\0') {
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
    return stop_accepted &&
           monotonic_seconds() - stop_accepted_at < SYSTEM_STOP_WAIT_SECONDS;
}

bool system_stop_never_came(void) {
    if (!stop_accepted || awaiting_system_stop()) {
        return false;
    }
    stop_accepted = false;
    return true;
}

void gpio_change_out(void) {
    if (gpio_direction(event_line, GPIO_OUT) != 0) {
        Log("BEXOD:  Unable to change to output\n");
        exit(1);
    }
    if (gpio_write(event_line, 1) != 0) {
        Log("BEXOD:  Unable to set output high\n");
        exit(1);
    }
    Log("BEXOD:  Set GPIO to output\n");
}

void gpio_change_in(void) {
    if (gpio_direction(event_line, GPIO_IN) != 0) {
        Log("BEXOD:  Unable to change to input\n");
        exit(1);
    }
    Log("BEXOD:  Set GPIO to input\n");
}

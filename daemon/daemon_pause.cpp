// SPDX-License-Identifier: GPL-2.0-or-later
#include "daemon/daemon_pause.hpp"

#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>

#include "daemon/daemon_state.hpp"

namespace {

volatile sig_atomic_t hangup_pending = 0;
volatile sig_atomic_t terminate_pending = 0;

// What a SIGHUP and a SIGTERM make the daemon do.
void (*hangup_sequence)(void) = nullptr;
void (*terminate_sequence)(void) = nullptr;

// Which stop sequence runs. Its own pauses must not start it again; a
// SIGTERM may still end a SIGHUP sequence half-way, and nothing interrupts
// the SIGTERM sequence.
enum stop_state { RUNNING, IN_HANGUP_SEQUENCE, IN_TERMINATE_SEQUENCE };
stop_state stopping = RUNNING;

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
    leave_daemon_for_command();
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

}  // namespace

const ups_waiting daemon_waiting = {daemon_pause, BUS_WAIT_US, BUS_GO_AHEAD};

void daemon_catch_signals(void (*on_hangup)(void), void (*on_terminate)(void)) {
    hangup_sequence = on_hangup;
    terminate_sequence = on_terminate;
    signal(SIGHUP, signal_handler);
    signal(SIGTERM, signal_handler);
    signal(SIGINT, signal_handler);
    signal(SIGQUIT, signal_handler);
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

int64_t monotonic_ns(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * NS_PER_S + now.tv_nsec;
}

time_t monotonic_seconds(void) { return static_cast<time_t>(monotonic_ns() / NS_PER_S); }

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

void leave_daemon_for_command(void) {
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    umask(COMMAND_CREATION_MASK);
    if (fd >= 0) close(fd);
}

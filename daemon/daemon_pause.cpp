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
#include "daemon/event_line.hpp"
#include "daemon/nut_export.hpp"

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
// A reading for NUT waits only briefly for another process to give the bus
// up: it never delays the daemon's look at the line.
constexpr unsigned READING_BUS_WAIT_US = 300000;

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
// the signals stay blocked until ppoll unblocks them atomically. Returns
// ppoll's result: 0 when the time ran out, more when a watched descriptor
// is ready, -1 when a signal cut the wait short. The cycle's wait is the
// one that watches a descriptor too (the line's edge).
int pause_for(struct timespec duration, struct pollfd *watch = nullptr, nfds_t watched_count = 0) {
    sigset_t watched;
    sigset_t previous;
    fill_signal_set(&watched);
    sigprocmask(SIG_BLOCK, &watched, &previous);
    int ready = -1;
    if (!stop_signal_pending()) {
        ready = ppoll(watch, watched_count, &duration, &previous);
    }
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    run_pending_stop_sequences();
    return ready;
}

struct timespec span_of(int64_t ns) {
    if (ns < 0) ns = 0;
    return {static_cast<time_t>(ns / NS_PER_S), static_cast<long>(ns % NS_PER_S)};
}

enum cycle_wait_end { WAIT_DONE, WAIT_CUT_BY_SIGNAL, WAIT_WOKEN_BY_EDGE };

// The cycle's wait until `until_ns` on the monotonic clock, with
// `watch_line` also for the line's edge while it is watched.
cycle_wait_end wait_in_cycle(int64_t until_ns, bool watch_line) {
    struct pollfd line = {watch_line ? event_line_edge_descriptor() : -1, POLLPRI, 0};
    const nfds_t watched = line.fd >= 0 ? 1 : 0;
    const int ready = pause_for(span_of(until_ns - monotonic_ns()), watched ? &line : nullptr, watched);
    if (ready > 0) return WAIT_WOKEN_BY_EDGE;
    return ready == 0 ? WAIT_DONE : WAIT_CUT_BY_SIGNAL;
}

// The end of the cycle's wait that an edge cut short, or 0: should the look
// it woke find nothing, the wait goes on to that end, so that the periodic
// look keeps its moment and noise on the line costs at most one look more
// per pause.
int64_t cut_short_end_ns = 0;

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
const ups_waiting reading_waiting = {daemon_pause_whole, READING_BUS_WAIT_US, BUS_GIVE_UP};
const ups_waiting reading_waiting_going_ahead = {daemon_pause_whole, READING_BUS_WAIT_US,
                                                 BUS_GO_AHEAD};

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
    pause_for(span_of(static_cast<int64_t>(microseconds) * NS_PER_US));
}

void daemon_pause_seconds(uint32_t seconds) { pause_for({static_cast<time_t>(seconds), 0}); }

void daemon_pause_whole(unsigned microseconds) {
    const int64_t end = monotonic_ns() + static_cast<int64_t>(microseconds) * NS_PER_US;
    for (int64_t left = end - monotonic_ns(); left > 0; left = end - monotonic_ns()) {
        pause_for(span_of(left));
    }
}

// The pause ends early for a reading only when it is longer than the
// interval; otherwise a reading that falls due waits for the start of the
// next pause, right after a cycle, and adds no wake-up. Either way the cycles
// keep their cadence. Only the pause between two cycles watches the line:
// anywhere else nothing would read it, and its edge would end every wait.
void idle_until(int64_t end, bool watch_line) {
    const bool wake_for_reading = end - monotonic_ns() > nut_export_interval_seconds() * NS_PER_S;
    do {
        nut_export_take_due_reading();
        const int64_t due = nut_export_reading_due_at();
        const int64_t until = wake_for_reading && due > 0 && due < end ? due : end;
        switch (wait_in_cycle(until, watch_line)) {
        case WAIT_DONE: break;
        case WAIT_CUT_BY_SIGNAL: return;
        case WAIT_WOKEN_BY_EDGE:
            cut_short_end_ns = end;
            event_line_edge_woke();
            return;
        }
    } while (monotonic_ns() < end);
}

void daemon_idle(uint32_t seconds) {
    const int64_t cut_short_end = cut_short_end_ns;
    cut_short_end_ns = 0;
    const bool resumed = cut_short_end != 0 && !event_line_edges_trusted();
    idle_until(resumed ? cut_short_end : monotonic_ns() + static_cast<int64_t>(seconds) * NS_PER_S, true);
}

void daemon_idle_whole(uint32_t seconds) {
    const int64_t end = monotonic_ns() + static_cast<int64_t>(seconds) * NS_PER_S;
    while (monotonic_ns() < end) idle_until(end, false);
}

void daemon_hostsync(uint32_t seconds) {
    daemon_pause_whole(static_cast<unsigned>(seconds) * static_cast<unsigned>(NS_PER_S / NS_PER_US));
}

bool daemon_wait_for(bool (*done)(void), uint32_t seconds) {
    const time_t asked = monotonic_seconds();
    while (!done()) {
        if (monotonic_seconds() - asked >= static_cast<time_t>(seconds)) {
            return false;
        }
        daemon_pause_seconds(1);
    }
    return true;
}

int64_t monotonic_ns(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * NS_PER_S + now.tv_nsec;
}

time_t monotonic_seconds(void) { return static_cast<time_t>(monotonic_ns() / NS_PER_S); }

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
    event_line_leave_to_command();
}

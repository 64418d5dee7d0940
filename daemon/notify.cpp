// SPDX-License-Identifier: GPL-2.0-or-later
#include "daemon/notify.hpp"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include "common/config/config_file.hpp"
#include "common/config/settings_table.hpp"
#include "common/support/log.hpp"
#include "daemon/config_check.hpp"
#include "daemon/daemon_pause.hpp"

extern char **environ;

namespace {

constexpr char UPS_NAME[] = "bexo";
// journald's socket for standard output streams, and the header that opens
// such a stream as systemd-cat opens it: identifier, no unit, priority info,
// "<N>" line prefixes honoured, no forwarding beyond the journal's own.
constexpr char JOURNAL_STREAM[] = "/run/systemd/journal/stdout";
constexpr char JOURNAL_HEADER[] = "bexod-notify\n\n6\n1\n0\n0\n0\n";
constexpr int SCRIPT_SIZE = 4096;
constexpr int ENTRY_SIZE = 64;
constexpr int ENVIRONMENT_SIZE = 256;
constexpr int32_t FAILURES_FOR_COMMBAD = 3;
// A command that hands its message on is done well within this; one that
// runs longer holds the next one back no further.
constexpr int64_t TURN_WAIT_MS = 1000;

struct notice {
    const char *type;
    const char *message;
};

// NUT's default messages, by notify_type, with this UPS's name.
const notice NOTICES[] = {
    {"ONBATT", "UPS bexo on battery"},
    {"ONLINE", "UPS bexo on line power"},
    {"LOWBATT", "UPS bexo battery is low"},
    {"FSD", "UPS bexo: forced shutdown in progress"},
    {"SHUTDOWN", "Auto logout and shutdown proceeding"},
    {"COMMBAD", "Communications with UPS bexo lost"},
    {"COMMOK", "Communications with UPS bexo established"},
};

char command[CONFIG_TEXT_SIZE];   // [Notify] command; empty: no notifications
int32_t refused_length = 0;       // of a command too long to hold, never run; 0: none
int previous_turn = -1;           // read end of the last runner's baton
int32_t failures_in_a_row = 0;    // of the board's answers, counted up to FAILURES_FOR_COMMBAD
bool communication_lost = false;  // COMMBAD sent, COMMOK not yet

int64_t monotonic_ms(void) { return monotonic_ns() / NS_PER_MS; }

bool has_name(const char *entry, const char *name) {
    const size_t length = strlen(name);
    return strncmp(entry, name, length) == 0 && entry[length] == '=';
}

// The daemon's environment with NOTIFYTYPE and UPSNAME in front, in
// fixed room.
void build_environment(char **out, char *type_entry, char *name_entry, const notice &n) {
    snprintf(type_entry, ENTRY_SIZE, "NOTIFYTYPE=%s", n.type);
    snprintf(name_entry, ENTRY_SIZE, "UPSNAME=%s", UPS_NAME);
    int count = 0;
    out[count++] = type_entry;
    out[count++] = name_entry;
    for (char **entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        if (count >= ENVIRONMENT_SIZE - 1) break;
        if (has_name(*entry, "NOTIFYTYPE") || has_name(*entry, "UPSNAME")) continue;
        out[count++] = *entry;
    }
    out[count] = nullptr;
}

// A journal stream, or -1.
int open_journal_stream(void) {
    const int stream = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (stream < 0) return -1;
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    snprintf(address.sun_path, sizeof address.sun_path, "%s", JOURNAL_STREAM);
    const ssize_t header = static_cast<ssize_t>(sizeof JOURNAL_HEADER - 1);
    if (connect(stream, reinterpret_cast<struct sockaddr *>(&address), sizeof address) != 0 ||
        write(stream, JOURNAL_HEADER, sizeof JOURNAL_HEADER - 1) != header) {
        close(stream);
        return -1;
    }
    shutdown(stream, SHUT_RD);
    return stream;
}

// Standard output and error go to the journal, or to /dev/null without
// one; never to the event log, whose lines keep their form.
void connect_output(void) {
    int out = open_journal_stream();
    if (out < 0) out = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (out < 0) return;
    dup2(out, STDOUT_FILENO);
    dup2(out, STDERR_FILENO);
    if (out > STDERR_FILENO) close(out);
}

// The command through the shell, as NUT's NOTIFYCMD is run, with the
// message as its one argument.
[[noreturn]] void run_command(const notice &n) {
    signal(SIGPIPE, SIG_DFL);
    connect_output();
    char script[SCRIPT_SIZE];
    snprintf(script, sizeof script, "%s \"$1\"", command);
    char type_entry[ENTRY_SIZE];
    char name_entry[ENTRY_SIZE];
    char *environment[ENVIRONMENT_SIZE];
    build_environment(environment, type_entry, name_entry, n);
    execle("/bin/sh", "sh", "-c", script, "bexod-notify", n.message, static_cast<char *>(nullptr),
           environment);
    Log(LOG_WARNING, "BEXOD:  Unable to start the notify command\n");
    _exit(127);
}

// The runner takes the signals as any process does, so that the system's
// stop ends it at once, and gives up what is the daemon's. Its baton may
// have no reader left (the daemon ended): that must not end it.
void leave_the_daemon(void) {
    const int caught[] = {SIGHUP, SIGTERM, SIGINT, SIGQUIT, SIGALRM, SIGCHLD};
    for (int number : caught) signal(number, SIG_DFL);
    signal(SIGPIPE, SIG_IGN);
    leave_daemon_for_command();
    setsid();
}

// The runner before this one has started its command (one byte on its
// baton) or ended (end of file).
bool predecessor_started(int before) {
    char started = 0;
    ssize_t got;
    do {
        got = read(before, &started, 1);
    } while (got < 0 && errno == EINTR);
    return got == 1;
}

// Its command has ended (end of file), or had its second.
void wait_for_predecessor_end(int before) {
    struct pollfd ended = {before, POLLIN, 0};
    const int64_t start = monotonic_ms();
    for (int64_t left = TURN_WAIT_MS; left > 0; left = TURN_WAIT_MS - (monotonic_ms() - start)) {
        const int ready = poll(&ended, 1, static_cast<int>(left));
        if (ready > 0 || (ready < 0 && errno != EINTR)) return;
    }
}

// Starts the command once the one before has ended or had its second, so
// that commands start in the order of their events; says so on `baton`,
// waits for the command and ends: its end closes `baton`.
[[noreturn]] void run_in_turn(const notice &n, int before, int baton) {
    leave_the_daemon();
    if (before >= 0) {
        if (predecessor_started(before)) wait_for_predecessor_end(before);
        close(before);
    }
    (void)!write(baton, "s", 1);
    const pid_t command_pid = fork();
    if (command_pid == 0) run_command(n);
    if (command_pid < 0) Log(LOG_WARNING, "BEXOD:  Unable to start the notify command\n");
    while (command_pid > 0 && waitpid(command_pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    _exit(0);
}

}  // namespace

void notify_read_settings(void) {
    const setting_value value =
        setting_text(SETTING_NOTIFY_COMMAND, inifile, command, sizeof command);
    refused_length = value.state == SETTING_TOO_LONG ? value.length : 0;
}

// A double fork: the middle process ends at once, so the runner and its
// command are nobody's children but init's, never waited for by the daemon,
// and a command that never ends delays nothing. Each runner reads the turn
// from the one before through a pipe (the baton), so that commands start in
// the order of their events.
void notify_event(notify_type type) {
    if (command[0] == '\0') {
        if (refused_length > 0) config_log_unused_command(SETTING_NOTIFY_COMMAND, refused_length);
        return;
    }
    int baton[2];
    pid_t child = -1;
    if (pipe2(baton, O_CLOEXEC) == 0) {
        child = fork();
        if (child == 0) {
            close(baton[0]);
            const pid_t runner = fork();
            if (runner == 0) run_in_turn(NOTICES[type], previous_turn, baton[1]);
            if (runner < 0) Log(LOG_WARNING, "BEXOD:  Unable to start the notify command\n");
            _exit(0);
        }
        close(baton[1]);
        if (previous_turn >= 0) close(previous_turn);
        previous_turn = baton[0];
    }
    if (child < 0) {
        Log(LOG_WARNING, "BEXOD:  Unable to start the notify command\n");
        return;
    }
    while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
}

void notify_board_answered(bool answered) {
    if (command[0] == '\0') return;
    if (answered) {
        failures_in_a_row = 0;
        if (communication_lost) {
            communication_lost = false;
            notify_event(NOTIFY_COMMOK);
        }
        return;
    }
    if (failures_in_a_row < FAILURES_FOR_COMMBAD) ++failures_in_a_row;
    if (failures_in_a_row == FAILURES_FOR_COMMBAD && !communication_lost) {
        communication_lost = true;
        notify_event(NOTIFY_COMMBAD);
    }
}

void notify_fatal_exit(void) {
    if (command[0] == '\0' || communication_lost) return;
    communication_lost = true;
    notify_event(NOTIFY_COMMBAD);
}

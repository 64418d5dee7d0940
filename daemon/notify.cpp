// SPDX-License-Identifier: GPL-2.0-or-later
#include "daemon/notify.hpp"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
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
constexpr int USER_ENTRY_SIZE = USER_FIELD_SIZE + 16;
constexpr int LOG_LINE_SIZE = 512;
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
notify_user runs_as;              // [Notify] user, with a command
int previous_turn = -1;           // read end of the last runner's baton
int32_t failures_in_a_row = 0;    // of the board's answers, counted up to FAILURES_FOR_COMMBAD
bool communication_lost = false;  // COMMBAD sent, COMMOK not yet

int64_t monotonic_ms(void) { return monotonic_ns() / NS_PER_MS; }

bool has_name(const char *entry, const char *name) {
    const size_t length = strlen(name);
    return strncmp(entry, name, length) == 0 && entry[length] == '=';
}

// The entries the command gets in front of the daemon's environment.
struct own_entries {
    char type[ENTRY_SIZE];
    char ups[ENTRY_SIZE];
    char home[USER_ENTRY_SIZE];
    char user[USER_ENTRY_SIZE];
    char logname[USER_ENTRY_SIZE];
};

bool is_own(const char *entry, bool with_user) {
    if (has_name(entry, "NOTIFYTYPE") || has_name(entry, "UPSNAME")) return true;
    return with_user &&
           (has_name(entry, "HOME") || has_name(entry, "USER") || has_name(entry, "LOGNAME"));
}

// The daemon's environment with NOTIFYTYPE and UPSNAME in front and, for a
// user's account, that user's HOME, USER and LOGNAME, as login(1) sets
// them; in fixed room.
void build_environment(char **out, own_entries &own, const notice &n) {
    const bool with_user = runs_as.kind == NOTIFY_AS_ACCOUNT;
    snprintf(own.type, sizeof own.type, "NOTIFYTYPE=%s", n.type);
    snprintf(own.ups, sizeof own.ups, "UPSNAME=%s", UPS_NAME);
    snprintf(own.home, sizeof own.home, "HOME=%s", runs_as.account.home);
    snprintf(own.user, sizeof own.user, "USER=%s", runs_as.name);
    snprintf(own.logname, sizeof own.logname, "LOGNAME=%s", runs_as.name);
    int count = 0;
    out[count++] = own.type;
    out[count++] = own.ups;
    if (with_user) {
        out[count++] = own.home;
        out[count++] = own.user;
        out[count++] = own.logname;
    }
    for (char **entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        if (count >= ENVIRONMENT_SIZE - 1) break;
        if (is_own(*entry, with_user)) continue;
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

// Takes on the user's groups, then its group, then the user itself: only
// in this order does each step still have root's rights. A step that fails
// leaves the command unrun, never run as root.
bool become_user(void) {
    if (runs_as.kind == NOTIFY_AS_DAEMON) return true;
    const user_account &account = runs_as.account;
    const char *failed = nullptr;
    if (setgroups(static_cast<size_t>(account.group_count), account.groups) != 0) {
        failed = "setgroups";
    } else if (setgid(account.gid) != 0) {
        failed = "setgid";
    } else if (setuid(account.uid) != 0) {
        failed = "setuid";
    }
    // Root's rights must be gone for good, not only set aside.
    if (failed == nullptr && (account.uid == 0 || setuid(0) != 0)) return true;
    const int error = errno;
    char why[ENTRY_SIZE];
    if (failed != nullptr)
        snprintf(why, sizeof why, "%s: %s", failed, strerror(error));
    else
        snprintf(why, sizeof why, "root's rights remain after setuid");
    char line[LOG_LINE_SIZE];
    snprintf(line, sizeof line,
             "BEXOD:  Not run: command in [Notify]; unable to become user %s (%s)\n", runs_as.name,
             why);
    Log(LOG_ERR, line);
    return false;
}

// The command through the shell, as NUT's NOTIFYCMD is run, with the
// message as its one argument. Its output is connected first, while the
// runner may still open anything.
[[noreturn]] void run_command(const notice &n) {
    signal(SIGPIPE, SIG_DFL);
    connect_output();
    if (!become_user()) _exit(127);
    char script[SCRIPT_SIZE];
    snprintf(script, sizeof script, "%s \"$1\"", command);
    own_entries own;
    char *environment[ENVIRONMENT_SIZE];
    build_environment(environment, own, n);
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
    if (command[0] != '\0') config_notify_user(inifile, &runs_as);
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
    if (runs_as.kind == NOTIFY_NOT_RUN) {
        config_log_unrun_notify(runs_as);
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

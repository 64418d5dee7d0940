// SPDX-License-Identifier: GPL-2.0-or-later
// bexod: the monitoring daemon of the B.EXO UPS board, and its own control
// command (-status, -start, -stop, -restart), and the checker of its
// configuration file (-check).

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include "common/config/int32_text.hpp"
#include "common/config/settings_table.hpp"
#include "common/hw/gpiolib.hpp"
#include "common/hw/pi_i2c.hpp"
#include "common/hw/ups_protocol.hpp"
#include "daemon/board.hpp"
#include "common/support/create_pid_file.hpp"
#include "common/support/log.hpp"
#include "common/support/region_locking.hpp"
#include "daemon/config_check.hpp"
#include "daemon/daemon_pause.hpp"
#include "daemon/daemon_state.hpp"
#include "daemon/event_line.hpp"
#include "daemon/journal.hpp"
#include "daemon/monitor.hpp"
#include "daemon/notify.hpp"
#include "daemon/nut_export.hpp"
#include "daemon/service_unit.hpp"
#include "daemon/shutdown_actions.hpp"

namespace {

constexpr int MESSAGE_SIZE = 512;
// A process id with blanks around it; more is no process id.
constexpr int PID_TEXT_SIZE = 32;

// How long -restart waits for the old daemon to let go of its PID file; its
// stop sequence takes a fraction of a second.
constexpr uint32_t STOP_WAIT_SECONDS = 30;

const struct option long_options[] = {
    {"status", no_argument, nullptr, 'i'},
    {"start", no_argument, nullptr, 'b'},
    {"stop", no_argument, nullptr, 'e'},
    {"restart", no_argument, nullptr, 'f'},
    {"check", no_argument, nullptr, 'c'},
    {nullptr, 0, nullptr, 0},
};

// getPID keeps the name of the daemon's fixed interface.
int getPID(const char *path) {
    FILE *file = fopen(path, "r");
    if (file == nullptr) {
        return 0;
    }
    char text[PID_TEXT_SIZE] = "";
    const size_t length = fread(text, 1, sizeof text - 1, file);
    text[length] = '\0';
    fclose(file);
    return int32_text_lead(text, 10);
}

void usage(int argc, char *argv[]) {
    if (argc <= 0) {
        return;
    }
    printf("Usage: %s -status | -start | -stop | -restart\n", argv[0]);
    printf("  Options:\n");
    printf("      -status\tStatus\n");
    printf("      -start\tStart Daemon\n");
    printf("      -stop\t\tStop Daemon \n");
    printf("\t  -restart  Restart the Daemon\n");
    printf("\n");
}

// The process id of the running daemon, or 0. The daemon counts as running
// only while a live process holds the lock on its PID file: a file left by
// a crashed daemon, or one holding no number, must not be trusted, nor its
// number signalled.
pid_t running_daemon_pid(void) {
    if (getPID(PID_FILE) <= 0) {
        return 0;
    }
    int pid_fd = open(PID_FILE, O_RDONLY | O_CLOEXEC);
    if (pid_fd < 0) {
        return 0;
    }
    pid_t holder = regionIsLocked(pid_fd, F_WRLCK, SEEK_SET, 0, 0);
    close(pid_fd);
    return holder > 0 ? holder : 0;
}

void show_status(void) {
    pid_t pid = running_daemon_pid();
    if (pid > 0) {
        printf("B.EXO Daemon running... PID: %d\n", pid);
    } else {
        printf("B.EXO Daemon stopped...\n");
    }
}

bool daemon_gone(void) { return running_daemon_pid() <= 0; }

// True once no process holds the PID file's lock any more.
bool wait_until_stopped(void) { return daemon_wait_for(daemon_gone, STOP_WAIT_SECONDS); }

[[noreturn]] void fail_to_stop(pid_t pid) {
    printf("B.EXO Daemon (PID %d) did not stop within %u seconds; nothing started.\n",
           static_cast<int>(pid), STOP_WAIT_SECONDS);
    exit(1);
}

// With "autostart" 1 and no unit yet, the unit is installed and enabled
// before anything else and systemd runs the first start too: the unit's own
// "bexod -start" talks to the board, and systemd owns the daemon from then on.
bool start_belongs_to_service(void) {
    if (service_manages_daemon()) {
        return true;
    }
    if (!service_install_pending()) {
        return false;
    }
    install_or_remove_service();
    return true;
}

// A configuration that is no regular file is refused before anything is
// started or stopped: one line, the same that -check prints.
void refuse_unusable_configuration(void) {
    char reason[MESSAGE_SIZE];
    if (setting_file_usable(inifile, reason, sizeof reason)) return;
    fprintf(stderr, "BEXOD:  Configuration %s\n", reason);
    exit(1);
}

bool request_start(void) {
    refuse_unusable_configuration();
    pid_t pid = running_daemon_pid();
    if (pid > 0) {
        // The word order is the message as users and scripts know it.
        printf("B.EXO still Daemon running... PID: %d\n", pid);
        return false;
    }
    const bool by_systemd = start_belongs_to_service();
    if (by_systemd) {
        ask_service_manager("start");
    }
    printf("B.EXO Daemon started..\n");
    return !by_systemd;
}

void request_stop(void) {
    pid_t pid = running_daemon_pid();
    if (pid <= 0) {
        printf("B.EXO Daemon still stopped...\n");
        return;
    }
    if (service_manages_daemon()) {
        ask_service_manager("stop");
        // A daemon started from a shell is not the unit's: it is still there.
        pid = running_daemon_pid();
    }
    if (pid > 0) {
        kill(pid, SIGTERM);
    }
    printf("B.EXO Daemon stopped!\n");
}

// The unit's daemon is restarted by systemd; one started from a shell is
// stopped first, or systemd would adopt it through the PID file.
void restart_service(pid_t pid) {
    if (!runs_in_service(pid)) {
        kill(pid, SIGTERM);
        if (!wait_until_stopped()) {
            fail_to_stop(pid);
        }
    }
    ask_service_manager("restart");
    printf("B.EXO Daemon stopped!\n");
    printf("B.EXO Daemon started..\n");
}

bool request_restart(void) {
    refuse_unusable_configuration();
    pid_t pid = running_daemon_pid();
    if (pid <= 0) {
        printf("B.EXO Daemon not running...\n");
        return false;
    }
    nut_export_restart_begins(pid);
    // As for a start: a unit that the settings install is enabled first,
    // and systemd then runs the new daemon.
    if (start_belongs_to_service()) {
        restart_service(pid);
        return false;
    }
    kill(pid, SIGTERM);
    printf("B.EXO Daemon stopped!\n");
    fflush(stdout);
    daemon_pause_seconds(1);
    // The new daemon needs the PID file's lock, which the old one holds
    // until its stop sequence has run.
    if (!wait_until_stopped()) {
        fail_to_stop(pid);
    }
    printf("B.EXO Daemon started..\n");
    return true;
}

// -check answers any user, so it is looked for before the superuser check;
// the options are then parsed afresh (optind 0), their messages included.
bool check_requested(int argc, char *argv[]) {
    bool requested = false;
    opterr = 0;
    int option;
    while ((option = getopt_long_only(argc, argv, "ibe", long_options, nullptr)) != -1) {
        requested = requested || option == 'c';
    }
    opterr = 1;
    optind = 0;
    return requested;
}

void print_config_problem(const char *line) { fputs(line, stdout); }

// Each problem of the file goes where the user who starts the daemon looks,
// and to the event log.
void warn_of_config_problem(const char *line) {
    fputs(line, stderr);
    Log(LOG_WARNING, line);
}

// Acts on the options in their order; true when one of them asks for a start.
bool handle_options(int argc, char *argv[]) {
    bool start_requested = false;
    int option;
    while ((option = getopt_long_only(argc, argv, "ibe", long_options, nullptr)) != -1) {
        switch (option) {
        case 'i': show_status(); break;
        case 'b': start_requested = request_start() || start_requested; break;
        case 'e': request_stop(); break;
        case 'f': start_requested = request_restart() || start_requested; break;
        default: usage(argc, argv); break;
        }
    }
    return start_requested;
}

void program_timed_boot(void) {
    board_send(CMD_TIMED_BOOT_ON);
    Log("BEXOD:  Activating time controlled boot!\n");
    split_time_text(boot_time_text, buffer_out + 1, ups_request_length(CMD_TIME_RECORD) - 1);
    board_send_time_record();
}

void open_system_log(void) {
    setlogmask(LOG_UPTO(LOG_EMERG));
    openlog("BEXO", LOG_PID | LOG_CONS | LOG_NDELAY | LOG_PERROR, LOG_USER);
}

// A wrong "address" lets the start go through and the daemon watch a line
// that no board drives; say so where the user who started it looks.
void report_silent_board(int error) {
    char message[MESSAGE_SIZE];
    snprintf(message, sizeof message,
             "BEXOD:  No board answers at address 0x%02X on %s (%s); check \"address\" in %s\n",
             address, piI2CDevice(), strerror(error), inifile);
    Log(message);
    fputs(message, stderr);
}

// Everything the invoking process prepares before it detaches.
void prepare_start(void) {
    config_check_file(inifile, warn_of_config_problem);
    nut_export_start();
    if (!board_open()) {
        report_silent_board(errno);
    }
    if (timed_boot == 1) {
        program_timed_boot();
    }
    if (timed_shutdown == 1) {
        split_time_text(str_shutdown, buffer_shutdown, sizeof buffer_shutdown);
    }
    event_line_claim();
    install_or_remove_service();
    open_system_log();
    Log("BEXOD: Entering Daemon BEXO.\n");
}

// Descriptors 0 to 2 are closed; /dev/null takes their numbers so that no
// file the daemon opens later can receive stray standard output.
void close_standard_streams(void) {
    for (int stream = 0; stream <= 2; ++stream) {
        close(stream);
    }
    int null_fd = open("/dev/null", O_RDWR);
    if (null_fd == 0) {
        dup2(null_fd, 1);
        dup2(null_fd, 2);
    }
}

[[noreturn]] void detach_and_monitor(const char *program) {
    fflush(stdout);
    fflush(stderr);
    pid_t child = fork();
    if (child < 0) {
        exit(1);
    }
    if (child > 0) {
        nut_export_owned_by(child);
        exit(0);
    }
    createPidFile(program, PID_FILE, CPF_CLOEXEC);
    nut_export_owned_by(getpid());
    umask(0);
    if (setsid() < 0) {
        exit(1);
    }
    if (chdir("/") != 0) {
        exit(1);
    }
    close_standard_streams();
    for (;;) {
        process();
        daemon_idle(cycle_pause_seconds());
    }
}

}  // namespace

int main(int argc, char *argv[]) {
    log_set_copy(journal_send);
    log_set_at_fatal(notify_fatal_exit);
    daemon_catch_signals(hangup_sequence, terminate_sequence);
    // Resolved before anything can pause: a stop sequence run during
    // -restart's pause drives this line too.
    event_line = gpio_kernel_number(EVENT_LINE_PROCESSOR_NUMBER);
    read_settings();
    nut_export_read_settings();
    notify_read_settings();
    if (check_requested(argc, argv)) {
        return config_check_file(inifile, print_config_problem) > 0 ? 1 : 0;
    }
    if (geteuid() != 0) {
        // "privilegs" is part of the programs' fixed interface, as users know it.
        printf("Please start the software with superuser privilegs.\n");
        return 0;
    }
    if (!handle_options(argc, argv)) {
        return 0;
    }
    prepare_start();
    detach_and_monitor(argv[0]);
}

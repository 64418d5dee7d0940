// SPDX-License-Identifier: GPL-2.0-or-later
#include "daemon/nut_export.hpp"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include "common/config/config_file.hpp"
#include "common/config/int32_text.hpp"
#include "common/config/settings_table.hpp"
#include "common/hw/ups_protocol.hpp"
#include "common/support/log.hpp"
#include "daemon/daemon_pause.hpp"
#include "daemon/daemon_state.hpp"
#include "daemon/notify.hpp"

// The daemon's run-time folder and the NUT file in it, written as a
// temporary file beside it and renamed. Defines, so that the messages
// naming the file are whole texts.
#define RUN_FOLDER "/run/bexod"
#define NUT_FILE RUN_FOLDER "/bexo.dev"

namespace {

constexpr char TEMP_FILE[] = NUT_FILE ".tmp";
// Left by a -restart for the daemon it stops and the one it starts: the
// process id of the daemon being restarted.
constexpr char RESTART_MARKER[] = RUN_FOLDER "/restart";
constexpr int MARKER_SIZE = 32;
constexpr char MAKER[] = "B.EXO";
constexpr mode_t FILE_MODE = S_IRUSR | S_IWUSR | S_IRGRP | S_IROTH;   // 0644
constexpr mode_t DIR_MODE = FILE_MODE | S_IXUSR | S_IXGRP | S_IXOTH;  // 0755
// A run of failed readings this long means the file no longer tells the
// board's state.
constexpr int32_t FAILED_READINGS_TO_REMOVE = 3;
constexpr unsigned US_PER_S = 1000000;
// A board that does not echo is asked twice more, then the reading is
// given up: the daemon's own queries must not wait behind it.
constexpr int READING_RETRIES = 2;
// A failed read gives the reading up at once; the next interval tries again.
constexpr int READ_FAILURES_TO_GIVE_UP = 1;
constexpr int FILE_BUFFER_SIZE = 1024;
// A reading waits only briefly for another process to give the bus up, then
// skips to the next interval: it never delays the daemon's look at the line.
constexpr unsigned BUS_WAIT_US = 300000;
// A pause that ends sooner than this before its end was cut short.
constexpr int64_t EARLY_WAKE_NS = 5 * NS_PER_MS;
// Longest single pause, in microseconds (daemon_pause takes an unsigned).
constexpr int64_t MAX_PAUSE_US = 1000000000;
constexpr int32_t NO_TIMER = -1;

// How a reading ended. A reading that found the bus held by another
// process is skipped: no failure, the next interval tries again.
enum reading_result { READING_TAKEN, READING_FAILED, READING_SKIPPED };

// One reading of the board, as -status reads it.
struct board_reading {
    bool identity = false;
    int model = -1;
    int firmware_major = 0;
    int firmware_minor = 0;
    bool on_battery = false;
    bool charger_on = false;
    double input_volts = 0;
    ups_battery_display battery = BATTERY_NOT_AVAILABLE;
    double battery_volts = 0;
    bool battery_current_available = false;
    int32_t battery_ma = 0;
    int32_t extern_ma = 0;
};

// Everything the export keeps from one call to the next.
struct export_state {
    // The settings, read once at start.
    bool enabled = false;          // [NUT] export is 1
    int32_t interval_seconds = 0;  // between two readings
    int32_t hostsync_seconds = 0;  // between announcing FSD and the power-off
    // The readings.
    int64_t next_reading_ns = 0;  // when the next falls due (monotonic); 0: at once
    board_reading last;           // the values of the last whole reading
    bool have_reading = false;    // `last` holds a reading
    bool ask_identity = true;     // the next reading asks for the identity too
    reading_result exchange_outcome = READING_TAKEN;  // of the last exchange
    int32_t failed_readings = 0;  // in a row, counted up to FAILED_READINGS_TO_REMOVE
    // What the file says besides the readings.
    bool supply_lost = false;        // from the daemon's events, whatever the last reading said
    bool power_off_decided = false;  // "FSD OB LB" from here on
    int32_t timer_shown = NO_TIMER;  // ups.timer.shutdown
    // The file itself.
    time_t last_mtime = 0;                // whole seconds of the last version written
    bool write_failing = false;           // the last write failed, and said so once
    pid_t file_owner = 0;                 // the process whose exit removes the file
    bool keep_at_exit = false;            // a power-off or reboot is on its way: the file stays
    bool restart_marker_written = false;  // this -restart left the marker
};

export_state state;

// Returns the nanoseconds it asked to pause. A moment that has already
// passed is no pause: as an unsigned count it would last for an hour.
int64_t pause_ns(int64_t ns) {
    if (ns <= 0) return 0;
    int64_t us = (ns + NS_PER_US - 1) / NS_PER_US;
    if (us > MAX_PAUSE_US) us = MAX_PAUSE_US;
    daemon_pause(static_cast<unsigned>(us));
    return us * NS_PER_US;
}

// The board's wait between request and reply, whole: a signal (the
// countdown's tick each second among them) only interrupts it while the
// pause runs any stop sequence that arrived.
void full_pause(unsigned microseconds) {
    const int64_t end = monotonic_ns() + static_cast<int64_t>(microseconds) * NS_PER_US;
    for (int64_t left = end - monotonic_ns(); left > 0; left = end - monotonic_ns()) {
        pause_ns(left);
    }
}

reading_result outcome_of(ups_result result) {
    switch (result) {
    case UPS_ANSWERED: return READING_TAKEN;
    // Another process's turn on the bus is no failure of the board.
    case UPS_BUS_BUSY: return READING_SKIPPED;
    case UPS_TIMED_OUT:
    case UPS_READ_FAILED: return READING_FAILED;
    }
    return READING_FAILED;
}

const ups_waiting waiting = {full_pause, BUS_WAIT_US, BUS_GIVE_UP};

bool exchange(uint8_t command, int retries) {
    state.exchange_outcome =
        outcome_of(ups_exchange(fd, command, UPS_SEND_SMBUS_BYTE, UPS_PACE_STATUS, retries,
                                READ_FAILURES_TO_GIVE_UP, waiting));
    return state.exchange_outcome == READING_TAKEN;
}

bool read_identity(board_reading &r) {
    if (!state.ask_identity) return true;
    if (!exchange(CMD_IDENTITY, READING_RETRIES)) return false;
    r.identity = true;
    r.firmware_major = buffer_in[1];
    r.firmware_minor = buffer_in[2];
    r.model = buffer_in[3];
    return true;
}

bool read_supply_and_charger(board_reading &r) {
    if (!exchange(CMD_POWER_SOURCE, READING_RETRIES)) return false;
    r.on_battery = buffer_in[1] == 1;
    if (!exchange(CMD_CHARGER_STATE, READING_RETRIES)) return false;
    r.charger_on = buffer_in[1] == 1;
    if (!exchange(CMD_INPUT_VOLTAGE, READING_RETRIES)) return false;
    r.input_volts = ups_input_volts(ups_reply_value16(buffer_in));
    return true;
}

bool read_battery(board_reading &r) {
    if (!exchange(CMD_BATTERY_LEVEL, READING_RETRIES)) return false;
    r.battery_volts = ups_battery_volts(ups_reply_value16(buffer_in));
    r.battery = ups_battery_classify(buffer_in[3], r.battery_volts);
    if (!exchange(CMD_BATTERY_CURRENT, READING_RETRIES)) return false;
    r.battery_current_available = ups_battery_current_available(buffer_in);
    r.battery_ma = ups_reply_value16(buffer_in);
    return true;
}

// Models without the measurement are not asked for the external current.
bool read_extern_current(board_reading &r) {
    if (!ups_model_measures_extern_current(r.model)) return true;
    if (!exchange(CMD_EXTERN_CURRENT, READING_RETRIES)) return false;
    r.extern_ma = ups_reply_value16(buffer_in);
    return true;
}

// All or nothing: a reading that fails half-way leaves `r` as it was. The
// identity is asked for once, and again after a failure (the board may
// have been flashed meanwhile).
reading_result read_board(board_reading &r) {
    board_reading fresh = r;
    state.ask_identity = !(read_identity(fresh) && read_supply_and_charger(fresh) &&
                           read_battery(fresh) && read_extern_current(fresh));
    if (state.ask_identity) return state.exchange_outcome;
    r = fresh;
    return READING_TAKEN;
}

// ------------------------------------------------------------ the file

struct text_buffer {
    char text[FILE_BUFFER_SIZE];
    int used;
};

__attribute__((format(printf, 2, 3))) void add_line(text_buffer &out, const char *format, ...) {
    const int room = FILE_BUFFER_SIZE - out.used;
    if (room <= 1) return;
    va_list args;
    va_start(args, format);
    const int written = vsnprintf(out.text + out.used, static_cast<size_t>(room), format, args);
    va_end(args);
    if (written > 0) out.used += written < room ? written : room - 1;
}

bool charging(const board_reading &r) { return r.charger_on && r.battery != BATTERY_FULL; }

bool on_battery(void) { return state.supply_lost || state.last.on_battery; }

const char *charger_status(const board_reading &r) {
    if (on_battery()) return "discharging";
    if (!r.charger_on) return "resting";
    return charging(r) ? "charging" : "floating";
}

// FSD: NUT's flag for "the primary is shutting everything down", which a
// secondary upsmon acts on at once.
const char *ups_status(void) {
    if (state.power_off_decided) return "FSD OB LB";
    if (on_battery()) return "OB DISCHRG";
    return state.have_reading && charging(state.last) ? "OL CHRG" : "OL";
}

// dummy-ups keeps its own values for the maker and model unless the ups.*
// names come with the device.* ones.
void add_identity(text_buffer &out) {
    add_line(out, "device.mfr: %s\nups.mfr: %s\ndevice.type: ups\n", MAKER, MAKER);
    if (!state.last.identity) return;
    const char *model = ups_model_name(state.last.model);
    if (model == nullptr) model = "unknown";
    add_line(out, "device.model: %s\nups.model: %s\n", model, model);
    add_line(out, "ups.firmware: %i.%i\n", state.last.firmware_major, state.last.firmware_minor);
}

void add_battery(text_buffer &out) {
    if (state.last.battery != BATTERY_NOT_AVAILABLE) {
        add_line(out, "battery.charge: %.2f\nbattery.voltage: %.2f\n",
                 ups_shown_capacity(state.last.battery, state.last.battery_volts),
                 ups_shown_volts(state.last.battery, state.last.battery_volts));
    }
    if (state.last.battery_current_available) {
        add_line(out, "battery.current: %.3f\n", state.last.battery_ma / 1000.0);
    }
    add_line(out, "battery.charger.status: %s\n", charger_status(state.last));
}

// Readings the board reports as not available are left out.
int format_file(text_buffer &out) {
    out.used = 0;
    out.text[0] = '\0';
    add_identity(out);
    add_line(out, "ups.status: %s\n", ups_status());
    add_line(out, "ups.timer.shutdown: %d\n", state.timer_shown);
    if (!state.have_reading) return out.used;
    add_battery(out);
    add_line(out, "input.voltage: %.2f\n", state.last.input_volts);
    if (ups_model_measures_extern_current(state.last.model)) {
        add_line(out, "output.current: %.3f\n", state.last.extern_ma / 1000.0);
    }
    return out.used;
}

// dummy-ups compares modification times in whole seconds: a file replaced
// twice within one second would hide the second version from it. Each
// version gets a later second than the one before.
void stamp_later_than_last(int file) {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    struct timespec times[2] = {{0, UTIME_OMIT}, now};
    if (now.tv_sec <= state.last_mtime) times[1] = {state.last_mtime + 1, 0};
    if (futimens(file, times) == 0) state.last_mtime = times[1].tv_sec;
}

// Opens a file of the run-time folder for writing it afresh, making the
// folder when it is missing.
int create_in_run_folder(const char *path) {
    const int flags = O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC;
    int file = open(path, flags, FILE_MODE);
    if (file < 0 && errno == ENOENT && mkdir(RUN_FOLDER, DIR_MODE) == 0) {
        file = open(path, flags, FILE_MODE);
    }
    return file;
}

bool write_whole(int file, const char *text, int length) {
    while (length > 0) {
        const ssize_t written = write(file, text, static_cast<size_t>(length));
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        text += written;
        length -= static_cast<int>(written);
    }
    return true;
}

// A temporary file in the same folder, renamed over the old one: a reader
// sees the old file or the new one, never a part.
bool replace_file(const char *text, int length) {
    const int file = create_in_run_folder(TEMP_FILE);
    if (file < 0) return false;
    bool ok = fchmod(file, FILE_MODE) == 0 && write_whole(file, text, length);
    stamp_later_than_last(file);
    ok = close(file) == 0 && ok;
    if (ok && rename(TEMP_FILE, NUT_FILE) == 0) return true;
    unlink(TEMP_FILE);
    return false;
}

// A failure is logged once, until the file can be written again.
void write_file(void) {
    text_buffer out;
    const int length = format_file(out);
    const bool ok = replace_file(out.text, length);
    if (!ok && !state.write_failing)
        Log(LOG_WARNING, "BEXOD:  NUT export: unable to write " NUT_FILE "\n");
    state.write_failing = !ok;
}

void remove_file(void) { unlink(NUT_FILE); }

// A failed reading leaves the file alone: NUT keeps showing the last values,
// nothing is guessed. After three in a row the file goes, so that NUT says
// the driver is gone rather than show old values; from a power-off decision
// on it keeps saying FSD. Each is logged once per failing run.
void reading_failed(void) {
    if (state.failed_readings < FAILED_READINGS_TO_REMOVE) ++state.failed_readings;
    if (state.failed_readings == 1)
        Log(LOG_WARNING, "BEXOD:  NUT export: unable to read the board\n");
    if (state.failed_readings < FAILED_READINGS_TO_REMOVE || state.power_off_decided) return;
    if (unlink(NUT_FILE) == 0) {
        Log(LOG_WARNING, "BEXOD:  NUT export: three readings failed; " NUT_FILE " removed\n");
    }
}

reading_result take_reading(void) {
    state.next_reading_ns =
        monotonic_ns() + static_cast<int64_t>(state.interval_seconds) * NS_PER_S;
    const reading_result result = read_board(state.last);
    switch (result) {
    case READING_TAKEN:
        notify_board_answered(true);
        state.failed_readings = 0;
        state.have_reading = true;
        write_file();
        break;
    case READING_FAILED:
        notify_board_answered(false);
        reading_failed();
        break;
    case READING_SKIPPED: break;
    }
    return result;
}

bool reading_due(void) {
    return state.next_reading_ns == 0 || monotonic_ns() >= state.next_reading_ns;
}

void event_now(bool lost, bool decided, int32_t timer) {
    state.supply_lost = lost;
    // The board has just said where the power comes from.
    state.last.on_battery = lost;
    state.power_off_decided = decided;
    state.timer_shown = timer;
    write_file();
    state.next_reading_ns = 0;
}

// The process id a -restart's marker names, or 0.
pid_t restarted_daemon(void) {
    char text[MARKER_SIZE] = "";
    const int marker = open(RESTART_MARKER, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (marker < 0) return 0;
    const ssize_t got = read(marker, text, sizeof text - 1);
    close(marker);
    if (got <= 0) return 0;
    text[got] = '\0';
    return static_cast<pid_t>(int32_text_lead(text, 10));
}

// Every exit of the owner removes the file, fatal ones too, except while
// it announces a power-off or when a -restart hands it to the next daemon.
// A -restart invocation whose marker no new daemon took removes the file:
// nothing would rewrite it.
void at_exit(void) {
    if (state.restart_marker_written && unlink(RESTART_MARKER) == 0) {
        remove_file();
        return;
    }
    if (state.file_owner != getpid() || state.keep_at_exit || state.power_off_decided) return;
    if (restarted_daemon() == getpid()) return;
    remove_file();
}

void remove_at_exit(void) {
    static bool registered = false;
    if (!registered) registered = atexit(at_exit) == 0;
}

bool write_marker(pid_t old) {
    char text[MARKER_SIZE];
    const int length = snprintf(text, sizeof text, "%d\n", static_cast<int>(old));
    const int marker = create_in_run_folder(RESTART_MARKER);
    if (marker < 0) return false;
    const bool ok = write_whole(marker, text, length);
    return close(marker) == 0 && ok;
}

}  // namespace

void nut_export_read_settings(void) {
    state.enabled = setting_number(SETTING_NUT_EXPORT, inifile) == 1;
    state.interval_seconds = setting_number(SETTING_NUT_INTERVAL, inifile);
    state.hostsync_seconds = setting_number(SETTING_NUT_HOSTSYNC, inifile);
}

// A marker means a -restart stopped the daemon before this start: its file
// stays until the first reading replaces it.
void nut_export_start(void) {
    if (!state.enabled) return;
    if (unlink(RESTART_MARKER) != 0) remove_file();
    state.file_owner = getpid();
    remove_at_exit();
}

void nut_export_owned_by(pid_t daemon) { state.file_owner = daemon; }

void nut_export_keep_at_exit(void) { state.keep_at_exit = true; }

// Without the marker the restart still works; NUT then sees the driver go
// and come back.
void nut_export_restart_begins(pid_t old) {
    if (!state.enabled) return;
    state.restart_marker_written = write_marker(old);
    if (state.restart_marker_written) remove_at_exit();
}

// The pause ends early for a reading only when it is longer than the
// interval; otherwise a reading that falls due waits for the start of the
// next pause, right after a cycle, and adds no wake-up. Either way the cycles
// keep their cadence.
void nut_export_idle(uint32_t seconds) {
    if (!state.enabled) {
        daemon_pause_seconds(seconds);
        return;
    }
    const int64_t end = monotonic_ns() + static_cast<int64_t>(seconds) * NS_PER_S;
    for (bool first = true;; first = false) {
        if (!first && monotonic_ns() >= end) return;
        if (reading_due()) take_reading();
        const int64_t now = monotonic_ns();
        if (now >= end) return;
        const bool wake_for_reading = seconds > static_cast<uint32_t>(state.interval_seconds);
        const int64_t until =
            wake_for_reading && state.next_reading_ns < end ? state.next_reading_ns : end;
        const int64_t asked = pause_ns(until - now);
        if (monotonic_ns() < now + asked - EARLY_WAKE_NS) return;
    }
}

void nut_export_countdown(bool armed, int32_t seconds_left) {
    if (!state.enabled) return;
    const int32_t shown = !armed ? NO_TIMER : seconds_left < 0 ? 0 : seconds_left;
    const bool changed = shown != state.timer_shown;
    state.timer_shown = shown;
    if (reading_due()) {
        take_reading();
    } else if (changed) {
        write_file();
    }
}

void nut_export_supply_lost(void) {
    if (state.enabled) event_now(true, false, NO_TIMER);
}

void nut_export_supply_restored(void) {
    if (state.enabled) event_now(false, false, NO_TIMER);
}

// NUT's primary cannot see its secondaries' logins either: nothing ends
// the wait early.
void nut_export_power_off_decided(void) {
    if (!state.enabled) return;
    event_now(true, true, 0);
    full_pause(static_cast<unsigned>(state.hostsync_seconds) * US_PER_S);
}

// Without a fresh reading there is nothing true to show: the file goes.
void nut_export_resume(void) {
    if (!state.enabled) return;
    state.supply_lost = false;
    state.power_off_decided = false;
    state.timer_shown = NO_TIMER;
    if (take_reading() != READING_TAKEN) remove_file();
}

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
#include "common/hw/bus_lock.hpp"
#include "common/hw/ups_protocol.hpp"
#include "common/support/log.hpp"
#include "daemon/board.hpp"
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
// A reading that finds another process on the bus skips to the next
// interval; after this many in a row it goes ahead as the daemon's own
// transfers do, so that a stopped bexo cannot freeze the file.
constexpr int32_t SKIPPED_READINGS_TO_GO_AHEAD = 3;
constexpr int FILE_BUFFER_SIZE = 1024;
constexpr int32_t NO_TIMER = -1;
constexpr int64_t NOT_DUE = -1;

// What NUT is told of a power-off the daemon decided. Only the primary
// upsd may add FSD on its own; a driver sets it only for a shutdown that
// "on battery + low battery" does not already announce.
enum decision_shown {
    NO_DECISION,
    DECIDED_LOW_BATTERY,  // "OB LB DISCHRG"
    DECIDED_ON_BATTERY,   // "FSD OB DISCHRG": the board will cut its output
};

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
    int32_t input_mv = 0;
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
    int32_t skipped_readings = 0;  // in a row, counted up to SKIPPED_READINGS_TO_GO_AHEAD
    // What the file says besides the readings.
    bool supply_lost = false;  // from the daemon's events, whatever the last reading said
    decision_shown decision = NO_DECISION;  // from a power-off decision until the daemon ends
    int32_t timer_shown = NO_TIMER;  // ups.timer.shutdown
    // The file itself.
    time_t last_mtime = 0;                // whole seconds of the last version written
    bool write_failing = false;           // the last write failed, and said so once
    pid_t file_owner = 0;                 // the process whose exit removes the file
    bool keep_at_exit = false;            // the system was asked to go down: the file stays
    bool restart_marker_written = false;  // this -restart left the marker
};

export_state state;

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

// Behind a bus that has stalled (a process stopped while it holds it or
// waits for it) a reading goes ahead too, as the daemon's own transfers do.
bool exchange(uint8_t command) {
    const bool go_ahead = state.skipped_readings >= SKIPPED_READINGS_TO_GO_AHEAD || bus_stalled();
    state.exchange_outcome = outcome_of(board_read(command, go_ahead));
    return state.exchange_outcome == READING_TAKEN;
}

bool read_identity(board_reading &r) {
    if (!state.ask_identity) return true;
    if (!exchange(CMD_IDENTITY)) return false;
    r.identity = true;
    r.firmware_major = buffer_in[1];
    r.firmware_minor = buffer_in[2];
    r.model = buffer_in[3];
    return true;
}

bool read_supply_and_charger(board_reading &r) {
    if (!exchange(CMD_POWER_SOURCE)) return false;
    r.on_battery = buffer_in[1] == 1;
    if (!exchange(CMD_CHARGER_STATE)) return false;
    r.charger_on = buffer_in[1] == 1;
    if (!exchange(CMD_INPUT_VOLTAGE)) return false;
    r.input_mv = ups_reply_value16(buffer_in);
    return true;
}

bool read_battery(board_reading &r) {
    if (!exchange(CMD_BATTERY_LEVEL)) return false;
    r.battery_volts = ups_battery_volts(ups_reply_value16(buffer_in));
    r.battery = ups_battery_classify(buffer_in[3], r.battery_volts);
    if (!exchange(CMD_BATTERY_CURRENT)) return false;
    r.battery_current_available = ups_battery_current_available(buffer_in);
    r.battery_ma = ups_reply_value16(buffer_in);
    return true;
}

// Models without the measurement are not asked for the external current.
bool read_extern_current(board_reading &r) {
    if (!ups_model_measures_extern_current(r.model)) return true;
    if (!exchange(CMD_EXTERN_CURRENT)) return false;
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
// secondary upsmon acts on at once; LB makes it shut down as well.
const char *ups_status(void) {
    switch (state.decision) {
    case DECIDED_LOW_BATTERY: return "OB LB DISCHRG";
    case DECIDED_ON_BATTERY: return "FSD OB DISCHRG";
    case NO_DECISION: break;
    }
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

// The current the board draws from its supply (the box's "Power Extern",
// charging included) is what flows in: NUT's input.current. Times the input
// voltage it is the power the Pi and the board take from the supply, in W,
// rounded to 10 mW from the exact product of mV and mA.
void add_input_power(text_buffer &out) {
    const int64_t microwatts = static_cast<int64_t>(state.last.input_mv) * state.last.extern_ma;
    const int64_t centiwatts = (microwatts + 5000) / 10000;
    add_line(out, "input.current: %.3f\n", state.last.extern_ma / 1000.0);
    add_line(out, "input.realpower: %lld.%02lld\n", static_cast<long long>(centiwatts / 100),
             static_cast<long long>(centiwatts % 100));
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
    add_line(out, "input.voltage: %.2f\n", ups_input_volts(state.last.input_mv));
    if (ups_model_measures_extern_current(state.last.model)) add_input_power(out);
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
// on it keeps saying so. Each is logged once per failing run.
void reading_failed(void) {
    if (state.failed_readings < FAILED_READINGS_TO_REMOVE) ++state.failed_readings;
    if (state.failed_readings == 1)
        Log(LOG_WARNING, "BEXOD:  NUT export: unable to read the board\n");
    if (state.failed_readings < FAILED_READINGS_TO_REMOVE || state.decision != NO_DECISION) return;
    if (unlink(NUT_FILE) == 0) {
        Log(LOG_WARNING, "BEXOD:  NUT export: three readings failed; " NUT_FILE " removed\n");
    }
}

reading_result take_reading(void) {
    state.next_reading_ns =
        monotonic_ns() + static_cast<int64_t>(state.interval_seconds) * NS_PER_S;
    const reading_result result = read_board(state.last);
    if (result != READING_SKIPPED) {
        state.skipped_readings = 0;
    } else if (state.skipped_readings < SKIPPED_READINGS_TO_GO_AHEAD) {
        ++state.skipped_readings;
    }
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

void event_now(bool lost, decision_shown decision, int32_t timer) {
    state.supply_lost = lost;
    // The board has just said where the power comes from.
    state.last.on_battery = lost;
    state.decision = decision;
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

// Every exit of the owner removes the file, fatal ones too, except once the
// system has been asked to go down or when a -restart hands it to the next
// daemon.
// A -restart invocation whose marker no new daemon took removes the file:
// nothing would rewrite it.
void at_exit(void) {
    if (state.restart_marker_written && unlink(RESTART_MARKER) == 0) {
        remove_file();
        return;
    }
    if (state.file_owner != getpid() || state.keep_at_exit) return;
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

void nut_export_keep_at_exit(bool keep) { state.keep_at_exit = keep; }

// Without the marker the restart still works; NUT then sees the driver go
// and come back.
void nut_export_restart_begins(pid_t old) {
    if (!state.enabled) return;
    state.restart_marker_written = write_marker(old);
    if (state.restart_marker_written) remove_at_exit();
}

int64_t nut_export_reading_due_at(void) {
    if (!state.enabled) return NOT_DUE;
    return state.next_reading_ns;
}

int32_t nut_export_interval_seconds(void) { return state.interval_seconds; }

int32_t nut_export_hostsync_seconds(void) { return state.enabled ? state.hostsync_seconds : 0; }

void nut_export_take_due_reading(void) {
    if (state.enabled && reading_due()) take_reading();
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
    if (state.enabled) event_now(true, NO_DECISION, NO_TIMER);
}

void nut_export_supply_restored(void) {
    if (state.enabled) event_now(false, NO_DECISION, NO_TIMER);
}

// On mains a secondary on its own supply has no reason to go down: it sees
// the server go, as after a stop.
bool nut_export_power_off_decided(bool low_battery) {
    if (!state.enabled) return false;
    if (!low_battery && !on_battery()) return false;
    event_now(true, low_battery ? DECIDED_LOW_BATTERY : DECIDED_ON_BATTERY, 0);
    return true;
}

// Without a fresh reading there is nothing true to show: the file goes.
void nut_export_resume(void) {
    if (!state.enabled) return;
    state.supply_lost = false;
    state.decision = NO_DECISION;
    state.timer_shown = NO_TIMER;
    if (take_reading() != READING_TAKEN) remove_file();
}

// SPDX-License-Identifier: GPL-2.0-or-later
// The simulated world in which the real bexo and bexod run unchanged: a UPS
// board on /dev/i2c-1 (umockdev), /sys/class/gpio (FUSE), /proc/cpuinfo,
// private /opt, /var/log, /run, /etc/systemd/system and /lib/systemd/system,
// and shims for sudo, systemctl, python and twiboot. Everything the programs
// do there lands in one ordered, time-stamped event record.
//
// A World needs a process that runs with the umockdev preload inside its own
// mount namespace: call enter_world_process() first (bexo_sim_main and
// bexo-sim do).
//
//   sim::World w;
//   w.board().set_battery(745);
//   w.set_config("[General]\naddress=0x36\n");
//   auto r = w.bexo({"-capbat", "0"});
//   EXPECT_EQ(r.status, 0);
//   EXPECT_EQ(w.commands(), (sim::Bytes{0x23}));
#pragma once

#include <sys/types.h>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/board.hpp"

namespace sim {

// ------------------------------------------------------------------ events

enum class Kind {
    I2cOpen,         // a descriptor on an i2c node was opened (closes are not seen)
    I2cBind,         // ioctl I2C_SLAVE; `address` is the requested address
    SmbusByteWrite,  // ioctl I2C_SMBUS, byte write: `bytes` = {data byte}
    Smbus,           // any other SMBus transfer; `text` names it
    Write,           // plain write(): `bytes` as written
    Read,            // plain read(): `bytes` as returned
    GpioExport,      // `text` as written to export, `line` as parsed
    GpioUnexport,
    GpioDirection,   // `text` as written
    GpioValueWrite,  // `text` as written
    GpioValueRead,   // `text` as returned
    GpioEdge,
    GpioActiveLow,
    Shim,            // `text` = program name, `args` = its arguments
    Signal,          // the world sent signal `text` to `pid`
    Note,            // a note from the test or the world (`text`)
};

struct Event {
    double t = 0;           // seconds since the world began (monotonic clock)
    Kind kind = Kind::Note;
    std::string node;       // bus events: "/dev/i2c-0" or "/dev/i2c-1"
    int address = -1;       // bus events: address the descriptor is bound to
    bool to_board = false;  // bus events: sent to where the board sat then
    int line = -1;          // GPIO events: kernel line number (base + chip line)
    Bytes bytes;            // bus events: written or returned bytes
    std::string text;
    std::vector<std::string> args;
    int pid = 0;            // Shim: caller; Signal: target
    int uid = -1;           // Shim: caller's effective uid
    int umask = -1;         // Shim: caller's file creation mask
    long result = 0;        // the system call's result
    int err = 0;            // its errno, 0 on success

    bool ok() const { return err == 0; }
    std::string str() const;  // one human-readable line
};

using Events = std::vector<Event>;

std::string kind_name(Kind kind);
std::string hex(const Bytes &bytes);  // "22 01 0c"
std::string format_trace(const Events &events);
Events only(const Events &events, const std::function<bool(const Event &)> &keep);
bool is_board_write(const Event &e);  // SMBus byte write or plain write to the board
std::vector<Bytes> requests_in(const Events &events);  // bytes of each write to the board
Bytes commands_in(const Events &events);               // first byte of each write to the board
bool is_bus(const Event &e);
bool is_gpio(const Event &e);

// -------------------------------------------------------------- cpuinfo

// A Raspberry Pi 3 on a 32-bit kernel: "Hardware\t: BCM2835", "Revision\t: a02082".
std::string cpuinfo_pi3();
// Processor lines followed by the given Hardware and Revision values;
// an empty value leaves its line out.
std::string cpuinfo_with(const std::string &hardware, const std::string &revision);
// A Pi 4 on a 64-bit kernel: no Hardware line.
std::string cpuinfo_pi4_64bit();

// What bexo and bexod print when the bus node is missing: I2C not enabled.
inline const std::string NO_BUS_NODE_TEXT =
    "Unable to open I2C device: No such file or directory\n"
    "I2C is not enabled: run \"sudo raspi-config nonint do_i2c 0\", or add "
    "\"dtparam=i2c_arm=on\" to config.txt and reboot.\n";

// ---------------------------------------------------------------- world

// What the kernel offers of a line's interrupt through its "edge" file.
enum class GpioEdge {
    Works,    // as on a Pi: an edge armed on an input wakes poll() with POLLPRI
    Missing,  // a chip without line interrupts: no "edge" file
    Refused,  // "edge" is there, but every edge but "none" fails with EIO
};

struct Options {
    int board_bus = 1;             // 0: the board sits on /dev/i2c-0 (old layout)
    bool bus0 = true;              // false: /dev/i2c-0 is missing (ENOENT)
    bool bus1 = true;              // false: /dev/i2c-1 is missing
    int gpio_base = 0;             // base of gpiochip; line 27 is base + 27
    GpioEdge gpio_edge = GpioEdge::Works;
    std::string cpuinfo = cpuinfo_pi3();
    std::optional<std::string> device_tree_model;  // e.g. "Raspberry Pi 4 Model B Rev 1.4"
    bool sigterm_on_poweroff = false;  // see World::sigterm_on_poweroff
    double sigterm_delay = 0.5;
    bool stream_syslog = false;    // /dev/log is a stream socket, not a datagram one
};

struct RunOptions {
    double timeout = 30;            // seconds; then the process group is killed
    bool as_user = false;           // run with a non-zero effective uid
    std::string faketime;           // libfaketime FAKETIME, e.g. "@2026-12-08 12:00:50" or "+0 x10"
    std::vector<std::string> env;   // "NAME=value" entries, added or replacing
    std::string input;              // written to standard input, then closed
    bool capture = true;            // false: share this process's stdin/stdout/stderr
};

struct Result {
    int status = -1;         // exit status; 128 + signal when killed; -1 if still running
    bool timed_out = false;
    std::string out;
    std::string err;
    double seconds = 0;      // from start until the output was complete
};

class World {
public:
    explicit World(Options options = {});
    ~World();
    World(const World &) = delete;
    World &operator=(const World &) = delete;

    Board &board();
    double now() const;  // seconds since the world began, as in Event::t

    // ---- programs
    Result run(const std::vector<std::string> &argv, const RunOptions &options = {});
    Result bexo(const std::vector<std::string> &args, const RunOptions &options = {});
    Result bexod(const std::vector<std::string> &args, const RunOptions &options = {});
    pid_t daemon_pid() const;  // from /run/bexod.pid; 0 when absent or not a number
    // Exit status (128 + signal when killed) of a child or a reparented
    // descendant, such as the detached daemon; nothing on time-out.
    std::optional<int> wait_exit(pid_t pid, double timeout);
    bool send_signal(pid_t pid, int sig);
    bool signal_daemon(int sig);

    // ---- the event record; `from` is the index of the first event looked
    // at (event_count() before an action: what the action brought)
    Events events(size_t from = 0) const;
    size_t event_count() const;
    void note(const std::string &text);
    Events board_writes(size_t from = 0) const;
    std::vector<Bytes> requests(size_t from = 0) const;  // bytes of each write to the board
    Bytes commands(size_t from = 0) const;               // first byte of each write to the board
    Events shim_calls(const std::string &name = "", size_t from = 0) const;
    Events gpio_events(size_t from = 0) const;
    // Messages sent to /dev/log inside the world, in order (the C
    // library's own syslog() bypasses the preload and is not seen).
    std::vector<std::string> syslog() const;

    // ---- waiting; each polls until the condition holds or the time-out.
    // Another thread may be inside run() meanwhile.
    bool wait_for(const std::function<bool()> &condition, double timeout);
    std::optional<Event> wait_for_event(const std::function<bool(const Event &)> &match,
                                        double timeout, size_t from = 0);
    bool wait_for_log(const std::string &text, double timeout);  // in /var/log/bexod.log
    std::optional<Event> wait_for_shim(const std::string &name, double timeout,
                                       const std::string &first_arg = "", size_t from = 0);

    // ---- files at their real paths inside the world
    static std::string read_file(const std::string &path);  // "" when missing
    static void write_file(const std::string &path, const std::string &text);  // makes parents
    static bool exists(const std::string &path);
    void set_config(const std::string &text);  // /opt/bexod/bexo.cfg
    std::string config() const;
    std::string log() const;                   // /var/log/bexod.log
    void set_cpuinfo(const std::string &text);
    void set_device_tree_model(const std::string &model);  // NUL-terminated, as a Pi has it
    // /etc/passwd and /etc/group of the world, in place of the system's.
    void set_accounts(const std::string &passwd, const std::string &group);

    // ---- GPIO
    struct GpioLine {
        bool exported = false;
        bool output = false;
        int level = 0;           // host level of an output (as written)
        bool active_low = false;
        std::string edge = "none";
    };
    int gpio_number(int chip_line = 27) const;  // base + chip line
    GpioLine gpio(int chip_line = 27) const;
    void hide_gpio_value(double seconds);  // value files answer ENOENT for a while
    // The board's line rises and falls too fast for any read to see, as on
    // a floating line: an armed edge counts it all the same.
    void spike_gpio_line();

    // ---- shims and scheduled actions
    // On "systemctl poweroff" or "systemctl reboot", send SIGTERM to the
    // process named in /run/bexod.pid after `delay` seconds.
    void sigterm_on_poweroff(bool on, double delay = 0.5);
    void set_shim_status(const std::string &name, int status);  // exit status of a shim
    void after(double seconds, std::function<void()> action);   // on the world's timer thread

    // ---- where things are
    std::string testbed_root() const;  // umockdev root: /dev, /sys, /proc overlays
    std::string bin_dir() const;       // shims, copies of bexo and bexod; first on PATH

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

// A TCP port on 127.0.0.1 that nothing listens on at this moment, for a
// server a test starts (0 when none can be had).
int free_loopback_port();

// Paths of the programs under test: the build tree's, or those named by
// BEXO_SIM_BEXO and BEXO_SIM_BEXOD (another build, e.g. for arm64).
std::string bexo_path();
std::string bexod_path();

// ---------------------------------------------------- wrapped programs
// With BEXO_SIM_WRAPPER set in the test process, every world runs bexo and
// bexod under that command (valgrind, qemu-user): "bexo" and "bexod" on the
// world's PATH are scripts that run
//     PATH=<folder of the copies>:$PATH exec $BEXO_SIM_WRAPPER bexo "$@"
// so the wrapper finds the program by name and the program keeps "bexo" as
// argv[0]. The value is shell text, put into the scripts as it is. Every
// time-out of the world (run, wait_for..., wait_exit) is multiplied by
// BEXO_SIM_TIME_SCALE; unset, the factor is 5 under a wrapper and 1 without.

std::string wrapper();  // "" when the programs run directly
double time_scale();
double scaled(double seconds);  // seconds * time_scale()
// Whether `pid` runs the program `name`: its command name, or under a
// wrapper, a word of its command line that is the name or ends in "/name".
bool is_program(pid_t pid, const std::string &name);

// True in a process that runs with the umockdev preload inside its own
// mount namespace (after enter_world_process).
bool in_world_process();
// Re-executes the program (argv as main got it) with the umockdev preload in
// a private mount namespace (root: a new mount namespace; other users: a new
// user namespace mapping them to 0). Returns at once when already inside;
// otherwise returns only on failure, with the reason.
std::string enter_world_process(char **argv);
// Whether `path` exists in the mount namespace this process started in,
// outside every world; nothing when that namespace cannot be entered (as in
// a user namespace). For tests of the world itself.
std::optional<bool> exists_outside(const std::string &path);

}  // namespace sim

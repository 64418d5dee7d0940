// SPDX-License-Identifier: GPL-2.0-or-later
// Helpers for the system tests of bexod: starting it in a world, reading its
// event log, and picking board writes, shim calls and GPIO operations out of
// the world's record.
#pragma once

#include <gtest/gtest.h>
#include <sys/mount.h>

#include <algorithm>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "sim/world.hpp"

namespace daemon_test {

using sim::Bytes;
using sim::Event;
using sim::Events;
using sim::Kind;
using sim::World;

inline constexpr char PID_FILE[] = "/run/bexod.pid";
inline constexpr char LOG_FILE[] = "/var/log/bexod.log";
inline constexpr char UNIT_FILE[] = "/etc/systemd/system/bexod.service";
inline constexpr char UNIT_SOURCE[] = "/opt/bexod/start/bexod.service";
inline constexpr char PACKAGE_UNIT_FILE[] = "/lib/systemd/system/bexod.service";

// What /proc/ENTRY/cgroup shows inside the world ("self", or a process id).
inline void put_in_unit(World &w, const std::string &entry) {
    World::write_file(w.testbed_root() + "/proc/" + entry + "/cgroup", "0::/system.slice/bexod.service\n");
}

// The world's record and the event log, for failure messages. These
// helpers take any world with the record's and the log's interface (the
// simulated one, or the kernel tier's guest).
template <typename W>
std::string dump(const W &w) {
    return "---- record\n" + sim::format_trace(w.events()) + "---- /var/log/bexod.log\n" + w.log();
}

inline std::vector<std::string> lines(const std::string &text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

// asctime's layout without its line end, then " - ".
inline bool has_entry_stamp(const std::string &line) {
    static const std::regex stamp(
        "^(Sun|Mon|Tue|Wed|Thu|Fri|Sat) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
        "[ 123][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4} - ");
    return std::regex_search(line, stamp);
}

inline constexpr size_t STAMP_LENGTH = 27;  // "Tue Dec  8 10:30:28 2026 - "

// The messages of the event log, stamps removed. Every entry must carry the
// stamp and be a line of its own.
template <typename W>
std::vector<std::string> messages(const W &w) {
    const std::string text = w.log();
    EXPECT_TRUE(text.empty() || text.back() == '\n') << text;
    std::vector<std::string> out;
    for (const std::string &line : lines(text)) {
        EXPECT_TRUE(has_entry_stamp(line)) << "entry without its stamp: '" << line << "'";
        out.push_back(line.size() >= STAMP_LENGTH ? line.substr(STAMP_LENGTH) : line);
    }
    return out;
}

// The stamp of the first entry carrying `message`, "" when there is none.
inline std::string stamp_of(const World &w, const std::string &message) {
    for (const std::string &line : lines(w.log()))
        if (line.size() > STAMP_LENGTH && line.substr(STAMP_LENGTH) == message)
            return line.substr(0, 24);
    return "";
}

inline size_t count(const std::vector<std::string> &list, const std::string &item) {
    return static_cast<size_t>(std::count(list.begin(), list.end(), item));
}

// Events from index `from` on that satisfy `keep`.
template <typename W, typename Keep>
Events since(const W &w, size_t from, Keep keep) {
    return sim::only(w.events(from), keep);
}

inline std::string text_of(const Bytes &bytes) { return sim::hex(bytes); }

template <typename W>
Events reads(const W &w, size_t from = 0) {
    return since(w, from, [](const Event &e) { return e.kind == Kind::Read; });
}

// "sudo systemctl poweroff", "sim-mark one", ...
inline std::string call_line(const Event &e) {
    std::string out = e.text;
    for (const std::string &a : e.args) out += " " + a;
    return out;
}

template <typename W>
std::vector<std::string> shim_calls(const W &w, size_t from = 0, const std::string &name = "") {
    std::vector<std::string> out;
    for (const Event &e : w.shim_calls(name, from)) out.push_back(call_line(e));
    return out;
}

// "export 27", "direction in", "edge rising", "value-write 1",
// "value-read 0", ...; " failed" after one the kernel refused.
inline std::vector<std::string> gpio_operations(const World &w, size_t from = 0,
                                                bool with_reads = false) {
    std::vector<std::string> out;
    for (const Event &e : w.gpio_events(from)) {
        std::string text = e.text;
        if (!text.empty() && text.back() == '\n') text.pop_back();
        switch (e.kind) {
        case Kind::GpioExport: out.push_back("export " + text); break;
        case Kind::GpioUnexport: out.push_back("unexport " + text); break;
        case Kind::GpioDirection: out.push_back("direction " + text); break;
        case Kind::GpioEdge: out.push_back("edge " + text); break;
        case Kind::GpioValueWrite: out.push_back("value-write " + text); break;
        case Kind::GpioValueRead:
            if (!with_reads) continue;
            out.push_back("value-read " + text);
            break;
        default: continue;
        }
        if (!e.ok()) out.back() += " failed";
    }
    return out;
}

inline Bytes time_record(int boot_h, int boot_m, int boot_s, int h, int m, int s) {
    return Bytes{0x54, static_cast<uint8_t>(boot_h), static_cast<uint8_t>(boot_m),
                 static_cast<uint8_t>(boot_s), static_cast<uint8_t>(h), static_cast<uint8_t>(m),
                 static_cast<uint8_t>(s), 0, 0, 0};
}

// A configuration with the board's address and the given lines of
// [General], then an optional [User] section.
inline std::string config(const std::string &general, const std::string &user = "") {
    std::string text = "[General]\naddress=0x36\n" + general;
    if (!user.empty()) text += "[User]\n" + user;
    return text;
}

// A process that exists and has not ended (a zombie has).
inline bool alive(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (pid <= 0 || !std::getline(stat, line)) return false;
    const size_t paren = line.rfind(')');
    return paren != std::string::npos && paren + 2 < line.size() && line[paren + 2] != 'Z';
}

inline bool is_bexod(pid_t pid) { return alive(pid) && sim::is_program(pid, "bexod"); }

// Runs "bexod -start" and waits until the detached daemon has taken its PID
// file and entered its loop. Returns the daemon's process id (0 on failure,
// with the test failed).
inline pid_t start_daemon(World &w, const sim::RunOptions &options = {}) {
    const sim::Result r = w.bexod({"-start"}, options);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "B.EXO Daemon started..\n");
    EXPECT_FALSE(r.timed_out);
    const bool up = w.wait_for([&] { return is_bexod(w.daemon_pid()); }, 10);
    EXPECT_TRUE(up) << "the daemon never wrote its PID file\n" << r.err << dump(w);
    return up ? w.daemon_pid() : 0;
}

// One datagram the world's /dev/log received, in the C library's syslog
// form "<PRI>Mmm dd hh:mm:ss ident[pid]: text".
struct SyslogEntry {
    int priority = -1;
    std::string ident;
    pid_t pid = 0;
    std::string text;
};

inline std::vector<SyslogEntry> syslog_entries(const World &w) {
    static const std::regex form(
        "^<([0-9]+)>(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [ 123][0-9] "
        "[0-2][0-9]:[0-5][0-9]:[0-6][0-9] ([^[]+)\\[([0-9]+)\\]: (.*)$");
    std::vector<SyslogEntry> out;
    for (const std::string &datagram : w.syslog()) {
        std::smatch m;
        SyslogEntry e;
        if (std::regex_match(datagram, m, form)) {
            e.priority = std::stoi(m[1]);
            e.ident = m[3];
            e.pid = std::stoi(m[4]);
            e.text = m[5];
        } else {
            ADD_FAILURE() << "not in syslog form: '" << datagram << "'";
        }
        out.push_back(e);
    }
    return out;
}

// Hides /sys/class/gpio behind an empty read-only file system, as on a
// kernel without sysfs GPIO.
struct NoSysfsGpio {
    std::string path;
    explicit NoSysfsGpio(const World &w) : path(w.testbed_root() + "/sys/class/gpio") {
        if (mount("none", path.c_str(), "tmpfs", MS_RDONLY, "size=16k") != 0) path.clear();
    }
    ~NoSysfsGpio() {
        if (!path.empty()) umount2(path.c_str(), MNT_DETACH);
    }
};

// Seconds between two events.
inline double gap(const Event &from, const Event &to) { return to.t - from.t; }

// Index of the first event at or after `from` that satisfies `match`, or the
// record's size.
template <typename W, typename Match>
size_t index_of(const W &w, Match match, size_t from = 0) {
    const Events all = w.events();
    for (size_t i = from; i < all.size(); i++)
        if (match(all[i])) return i;
    return all.size();
}

inline auto write_of(uint8_t command) {
    return [command](const Event &e) {
        return sim::is_board_write(e) && !e.bytes.empty() && e.bytes[0] == command;
    };
}

// Bounds for a fixed pause measured between two recorded events: the
// pause itself (less the record's jitter) and a generous upper limit for a
// loaded machine.
inline void expect_pause(const Event &before, const Event &after, double seconds,
                         const std::string &what) {
    EXPECT_GE(gap(before, after), seconds * 0.9 - 0.005) << what;
    EXPECT_LE(gap(before, after), seconds + 0.6) << what;
}

// Every read from event `from` on answers the request just before it on the
// bus, made by the same process; the number of reads.
template <typename W>
size_t expect_replies_follow_their_requests(const W &w, size_t from) {
    const Events all = w.events();
    const Event *request = nullptr;
    size_t replies = 0;
    for (size_t i = 0; i < all.size(); i++) {
        const Event &e = all[i];
        if (sim::is_board_write(e) && !e.bytes.empty()) request = &e;
        if (e.kind != Kind::Read || i < from) continue;
        replies++;
        EXPECT_TRUE(e.ok()) << e.str();
        if (request == nullptr || e.bytes.empty()) continue;
        EXPECT_EQ(e.pid, request->pid) << "a reply read by another process: " << e.str();
        EXPECT_EQ(e.bytes[0], request->bytes[0]) << "a reply to another's request: " << e.str();
    }
    return replies;
}

// bexo -status looping from event `from` on while the daemon counts down:
// the tool ran whole boxes, and the daemon's passes of '3', '!' and 'E'
// (three seconds each) kept their pace, as another's exchange holds the bus
// for 0.3 s at most.
template <typename W>
void expect_boxes_beside_the_countdown(const W &w, size_t from) {
    const Bytes sent = w.commands(from);
    EXPECT_GE(std::count(sent.begin(), sent.end(), 0x22), 2) << "the tool ran its boxes";
    EXPECT_GE(std::count(sent.begin(), sent.end(), 0xD1), 1);
    const Events passes = since(w, from, write_of(0x21));
    ASSERT_GE(passes.size(), 3u) << dump(w);
    for (size_t i = 1; i < passes.size(); i++) EXPECT_LT(gap(passes[i - 1], passes[i]), 4.0) << passes[i].t;
}

}  // namespace daemon_test

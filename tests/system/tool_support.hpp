// SPDX-License-Identifier: GPL-2.0-or-later
// Shared by the control tool's system tests: a fixed clock for the status
// box, golden boxes, the bus traffic in a compact form and the pauses
// between each request and its reply.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "sim/world.hpp"

namespace tool_test {

inline constexpr char CONFIG_PATH[] = "/opt/bexod/bexo.cfg";
inline constexpr char DEFAULT_CONFIG[] = "[General]\naddress=0x36\n";
inline constexpr char RESTART_LINES[] =
    "*                              * \n"
    "* Please restart B.EXO Daemon  * \n";
inline constexpr char FOOTER[] =
    "*                              *\n"
    "********************************\n";
inline constexpr char WRITE_FAILED[] = "Unable to write the configuration file /opt/bexod/bexo.cfg\n";
inline constexpr char TIMED_OUT[] = "i2c-Request timed out \n";

// A world whose configuration names the board's default address, as an
// installed system has it.
struct ToolWorld : sim::World {
    explicit ToolWorld(sim::Options options = {}) : sim::World(std::move(options)) {
        set_config(DEFAULT_CONFIG);
    }
};

// A stopped wall clock in UTC, so the time line of the box never changes.
inline sim::RunOptions fixed_clock() {
    sim::RunOptions o;
    o.faketime = "2026-12-08 12:00:00";
    o.env = {"TZ=UTC"};
    return o;
}

// Every pause a thousand times shorter, for exchanges that retry a thousand times.
inline sim::RunOptions fast_clock() {
    sim::RunOptions o;
    o.faketime = "+0 x1000";
    return o;
}

inline sim::RunOptions as_user() {
    sim::RunOptions o = fixed_clock();
    o.as_user = true;
    return o;
}

inline std::string golden(const std::string &name) {
    std::ifstream in(std::string(BEXO_TEST_DATA_DIR) + "/boxes/" + name, std::ios::binary);
    EXPECT_TRUE(in.good()) << "missing golden file " << name;
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The top of the box that the default configuration and board give.
inline std::string default_header() { return golden("header_default.txt"); }

inline std::string boxed(const std::string &header, const std::string &lines) {
    return header + lines + FOOTER;
}
inline std::string boxed(const std::string &lines) { return boxed(default_header(), lines); }

// One line per bus event: "open /dev/i2c-1", "bind 0x36", "smbus 22",
// "write 37 01", "read d0 ec 13"; a failed call ends in its errno name.
inline std::string describe(const sim::Event &e) {
    std::string s;
    switch (e.kind) {
    case sim::Kind::I2cOpen: s = "open " + e.node; break;
    case sim::Kind::I2cBind: {
        char address[8];
        snprintf(address, sizeof address, "0x%02x", e.address);
        s = std::string("bind ") + address;
        break;
    }
    case sim::Kind::SmbusByteWrite: s = "smbus"; break;
    default: s = sim::kind_name(e.kind); break;
    }
    if (!e.text.empty()) s += " " + e.text;
    if (!e.bytes.empty()) s += " " + sim::hex(e.bytes);
    if (e.err != 0) s += std::string(" ") + strerrorname_np(e.err);
    return s;
}

using Traffic = std::vector<std::string>;

inline Traffic traffic(const sim::World &w) {
    Traffic t;
    for (const auto &e : w.events())
        if (sim::is_bus(e)) t.push_back(describe(e));
    return t;
}

inline Traffic join(std::initializer_list<Traffic> parts) {
    Traffic t;
    for (const auto &p : parts) t.insert(t.end(), p.begin(), p.end());
    return t;
}

// The descriptor every run opens first, bound to the board's default address.
inline const Traffic START = {"open /dev/i2c-1", "bind 0x36"};
// The top of every box: a descriptor of its own and the identity exchange.
inline const Traffic IDENTITY = {"open /dev/i2c-1", "bind 0x36", "smbus 22", "read 22 01 0c 00 00"};

struct Pause {
    std::string request;  // hex of the request before the read
    double seconds;       // from the request to the read of its reply
};

inline std::vector<Pause> reply_pauses(const sim::World &w) {
    std::vector<Pause> pauses;
    const sim::Events events = w.events();
    const sim::Event *request = nullptr;
    for (const auto &e : events) {
        if (!sim::is_bus(e)) continue;
        if (e.kind == sim::Kind::SmbusByteWrite || e.kind == sim::Kind::Write) request = &e;
        if (e.kind == sim::Kind::Read && request != nullptr)
            pauses.push_back({sim::hex(request->bytes), e.t - request->t});
    }
    return pauses;
}

// Request and reply are recorded by the world: a pause is never shorter
// than the wait beyond the recording's own jitter. A loaded machine (ctest
// -j on two cores, sanitizer builds) may lengthen any single pause by far;
// the precision of each wait is judged on the shortest of repeated attempts.
inline constexpr double PAUSE_EARLY = 0.002;
inline constexpr double PAUSE_LATE = 0.250;
inline constexpr double PAUSE_PRECISE = 0.040;

inline void expect_pauses(const sim::World &w, const std::vector<Pause> &expected) {
    const auto got = reply_pauses(w);
    ASSERT_EQ(got.size(), expected.size());
    for (size_t i = 0; i < got.size(); i++) {
        SCOPED_TRACE("reply " + std::to_string(i) + " to " + got[i].request);
        EXPECT_EQ(got[i].request, expected[i].request);
        EXPECT_GE(got[i].seconds, expected[i].seconds - PAUSE_EARLY);
        EXPECT_LE(got[i].seconds, expected[i].seconds + PAUSE_LATE);
    }
}

// Replaces one whole line of `text`; the line must be there.
inline std::string replace_line(std::string text, const std::string &line, const std::string &by) {
    const size_t at = text.find(line + "\n");
    EXPECT_NE(at, std::string::npos) << "no line \"" << line << "\"";
    if (at != std::string::npos) text.replace(at, line.size(), by);
    return text;
}

// Inode and modification time: equal only when the file was left alone.
struct FileStamp {
    ino_t inode = 0;
    long long mtime_ns = 0;
    bool operator==(const FileStamp &) const = default;
};

inline FileStamp stamp(const std::string &path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return {};
    return {st.st_ino, static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec};
}

}  // namespace tool_test

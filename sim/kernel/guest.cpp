// SPDX-License-Identifier: GPL-2.0-or-later
#include "sim/kernel/guest.hpp"

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <sstream>
#include <thread>

namespace sim {

namespace {

using Clock = std::chrono::steady_clock;

std::string base64(const std::string &text) {
    static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < text.size(); i += 3) {
        uint32_t v = static_cast<uint8_t>(text[i]) << 16;
        if (i + 1 < text.size()) v |= static_cast<uint8_t>(text[i + 1]) << 8;
        if (i + 2 < text.size()) v |= static_cast<uint8_t>(text[i + 2]);
        for (size_t k = 0; k < 4; k++)
            out += i + k <= text.size() ? digits[(v >> (18 - 6 * k)) & 63] : '=';
    }
    return out;
}

std::string quoted(const std::string &word) {
    std::string s = "'";
    for (char c : word) s += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return s + "'";
}

bool write_all(int fd, const void *data, size_t size) {
    const auto *p = static_cast<const uint8_t *>(data);
    while (size > 0) {
        const ssize_t n = write(fd, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

uint64_t le(const Bytes &b, size_t at, int bytes) {
    uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; i--) v = v << 8 | b[at + static_cast<size_t>(i)];
    return v;
}

// A listening socket at `path` and one connection to it within `seconds`.
int accept_one(int listener, double seconds) {
    pollfd p{listener, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(seconds * 1000)) != 1) return -1;
    return accept(listener, nullptr, nullptr);
}

int listen_at(const std::string &path) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(fd, 1) != 0) {
        if (fd >= 0) close(fd);
        return -1;
    }
    return fd;
}

// "uptime pid name args..." or "uptime pid !SIGTERM" lines of /calls.log.
Events parse_calls(const std::string &text) {
    Events out;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        Event e;
        std::string name;
        if (!(words >> e.t >> e.pid >> name)) continue;
        e.kind = name == "!SIGTERM" ? Kind::Signal : Kind::Shim;
        e.text = e.kind == Kind::Signal ? "SIGTERM" : name;
        for (std::string a; words >> a;) e.args.push_back(a);
        out.push_back(e);
    }
    return out;
}

}  // namespace

struct Guest::Impl {
    std::string build;
    std::string dir;
    pid_t qemu = -1;
    int board_fd = -1;
    int ctl_fd = -1;
    std::string ctl_in;  // bytes read from the control port, not yet used
    std::string failure;

    mutable std::mutex m;  // the board, the bus record and the line
    std::unique_ptr<Board> board = std::make_unique<Board>();
    Events bus;
    int sent_line = -1;
    bool answering = true;
    std::atomic<bool> stop{false};
    std::thread server;

    void fail(const std::string &why) {
        std::lock_guard l(m);
        if (failure.empty()) failure = why;
    }
    bool failed() const {
        std::lock_guard l(m);
        return !failure.empty();
    }
    bool start(const std::vector<std::string> &qemu_command);
    void serve();
    size_t take_frame(const Bytes &in);
    void transfer(const Bytes &in, size_t at, size_t end);
    bool read_ctl(size_t bytes, Clock::time_point deadline);
    Result run(const std::string &script, double timeout);
};

bool Guest::Impl::start(const std::vector<std::string> &qemu_command) {
    char pattern[] = "/tmp/bexo-guest.XXXXXX";
    if (!mkdtemp(pattern)) return false;
    dir = pattern;
    const int board_listener = listen_at(dir + "/board");
    const int ctl_listener = listen_at(dir + "/ctl");
    std::vector<std::string> words = qemu_command;
    words.insert(words.end(), {"-device", "virtio-serial-device"});
    for (const std::string port : {"board", "ctl"}) {
        words.insert(words.end(), {"-chardev", "socket,id=" + port + ",path=" + dir + "/" + port, "-device",
                                   "virtserialport,chardev=" + port + ",name=" + port});
    }
    std::vector<char *> argv;
    for (auto &w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    qemu = fork();
    if (qemu == 0) {
        execvp(argv[0], argv.data());
        _exit(127);
    }
    board_fd = accept_one(board_listener, 30);
    ctl_fd = accept_one(ctl_listener, 30);
    close(board_listener);
    close(ctl_listener);
    if (qemu < 0 || board_fd < 0 || ctl_fd < 0) {
        fail("QEMU did not connect to the board and control ports");
        return false;
    }
    server = std::thread([this] { serve(); });
    const auto deadline = Clock::now() + std::chrono::seconds(120);
    while (ctl_in.find("ready\n") == std::string::npos)
        if (!read_ctl(ctl_in.size() + 1, deadline)) {
            fail("the guest did not come up (see its console log)");
            return false;
        }
    ctl_in.clear();
    return true;
}

// Reads from the control port until `bytes` are buffered or the deadline.
bool Guest::Impl::read_ctl(size_t bytes, Clock::time_point deadline) {
    while (ctl_in.size() < bytes) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd p{ctl_fd, POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) != 1) return false;
        char buf[4096];
        const ssize_t n = read(ctl_fd, buf, sizeof buf);
        if (n <= 0) return false;
        ctl_in.append(buf, static_cast<size_t>(n));
    }
    return true;
}

Result Guest::Impl::run(const std::string &script, double timeout) {
    Result r;
    if (failed()) {
        r.err = "the guest is lost";
        return r;
    }
    const auto started = Clock::now();
    const auto deadline = started + std::chrono::milliseconds(static_cast<int>(timeout * 1000));
    const std::string line = base64(script) + "\n";
    size_t end = 0;
    if (!write_all(ctl_fd, line.data(), line.size())) {
        fail("the control port is closed");
        r.err = "the control port is closed";
        return r;
    }
    while ((end = ctl_in.find('\n')) == std::string::npos)
        if (!read_ctl(ctl_in.size() + 1, deadline)) break;
    size_t out = 0, err = 0;
    if (end == std::string::npos ||
        sscanf(ctl_in.c_str(), "@@ %d %zu %zu", &r.status, &out, &err) != 3 ||
        !read_ctl(end + 1 + out + err, deadline)) {
        r.timed_out = true;
        r.err = "the guest did not answer within " + std::to_string(timeout) + " s: " + script;
        fail(r.err);
        return r;
    }
    r.out = ctl_in.substr(end + 1, out);
    r.err = ctl_in.substr(end + 1 + out, err);
    ctl_in.erase(0, end + 1 + out + err);
    r.seconds = std::chrono::duration<double>(Clock::now() - started).count();
    return r;
}

// Serves the board's port until the guest goes: transfers, the line's
// echoes, and the board's level of line 27 whenever it changes.
void Guest::Impl::serve() {
    Bytes in;
    while (!stop) {
        pollfd p{board_fd, POLLIN, 0};
        if (poll(&p, 1, 10) == 1) {
            uint8_t buf[4096];
            const ssize_t n = read(board_fd, buf, sizeof buf);
            if (n <= 0) return;
            in.insert(in.end(), buf, buf + n);
            for (size_t used; (used = take_frame(in)) > 0;) in.erase(in.begin(), in.begin() + static_cast<long>(used));
        }
        std::lock_guard l(m);
        const int level = board->line() ? 1 : 0;
        if (level != sent_line) {
            const uint8_t frame[2] = {'L', static_cast<uint8_t>(level)};
            if (!write_all(board_fd, frame, sizeof frame)) return;
            sent_line = level;
        }
    }
}

// The size of the whole frame at the start of `in` once it has been acted
// on; 0 while it is incomplete.
size_t Guest::Impl::take_frame(const Bytes &in) {
    if (in.empty()) return 0;
    if (in[0] == 'L') {
        if (in.size() < 10) return 0;
        Event e;
        e.t = static_cast<double>(le(in, 1, 8)) / 1e6;
        e.text = in[9] ? "line 1" : "line 0";
        std::lock_guard l(m);
        bus.push_back(e);
        return 10;
    }
    if (in[0] != 'T') {
        fail("the guest's board port sent a stray byte");
        stop = true;
        return 0;
    }
    size_t at = 16;
    if (in.size() < at) return 0;
    for (int i = 0; i < in[15]; i++) {
        if (in.size() < at + 3) return 0;
        const size_t length = le(in, at + 1, 2);
        at += 3 + (in[at] & 1 ? 0 : length);
        if (in.size() < at) return 0;
    }
    transfer(in, 16, at);
    return at;
}

// One transfer: its messages in order until one fails, each recorded, and
// the answer with the bytes read.
void Guest::Impl::transfer(const Bytes &in, size_t at, size_t end) {
    Event base;
    base.t = static_cast<double>(le(in, 6, 8)) / 1e6;
    base.node = "/dev/i2c-1";
    base.address = in[14];
    base.pid = static_cast<int>(le(in, 2, 4));
    Bytes answer = {'R', in[1], 0, 0};
    std::lock_guard l(m);
    while (at < end && answer[2] == 0) {
        Event e = base;
        const bool reading = in[at] & 1;
        const size_t length = le(in, at + 1, 2);
        at += 3;
        e.to_board = e.address == board->address();
        if (reading) {
            e.kind = Kind::Read;
            e.err = board->bus_read(e.address, length, e.bytes);
            if (!e.err) answer.insert(answer.end(), e.bytes.begin(), e.bytes.end());
        } else {
            e.kind = Kind::Write;
            e.bytes.assign(in.begin() + static_cast<long>(at), in.begin() + static_cast<long>(at + length));
            at += length;
            e.err = board->bus_write(e.address, e.bytes);
        }
        e.result = e.err ? -1 : static_cast<long>(e.bytes.size());
        answer[2] = static_cast<uint8_t>(e.err);
        bus.push_back(e);
    }
    if (answer[2]) answer.resize(4);
    answer[3] = static_cast<uint8_t>(answer.size() - 4);
    if (answering) write_all(board_fd, answer.data(), answer.size());
}

Guest::Guest(const std::vector<std::string> &qemu, const std::string &build)
    : impl_(std::make_unique<Impl>()) {
    impl_->build = build;
    if (!impl_->start(qemu)) return;
    // The build's programs where a package puts them, and a Raspberry Pi 3's
    // cpuinfo over the guest's own.
    write_file("/etc/cpuinfo", cpuinfo_pi3());
    const std::string from = "/builds/" + build + "/";
    const Result r = run("cp " + from + "bexo " + from + "sim-probe /usr/bin/ && cp " + from +
                         "bexod /usr/sbin/bexod && mount --bind /etc/cpuinfo /proc/cpuinfo");
    if (r.status != 0) impl_->fail("the guest could not install the " + build + " programs: " + r.err);
}

Guest::~Guest() {
    impl_->stop = true;
    if (impl_->server.joinable()) impl_->server.join();
    if (impl_->qemu > 0) {
        kill(impl_->qemu, SIGKILL);
        waitpid(impl_->qemu, nullptr, 0);
    }
    for (int fd : {impl_->board_fd, impl_->ctl_fd})
        if (fd >= 0) close(fd);
    std::error_code ec;
    if (!impl_->dir.empty()) std::filesystem::remove_all(impl_->dir, ec);
}

std::string Guest::failure() const {
    std::lock_guard l(impl_->m);
    return impl_->failure;
}

void Guest::reset() {
    run("killall -9 bexod bexo sim-probe 2>/dev/null\n"
        "for i in 1 2 3 4 5 6 7 8 9 10; do pidof bexod bexo sim-probe >/dev/null || break; sleep 0.1; done\n"
        "for g in /sys/class/gpio/gpio[0-9]*; do [ -e \"$g\" ] && echo \"${g##*/gpio}\" >/sys/class/gpio/unexport; done\n"
        "chip=/sys/module/bexo_board/parameters/chip\n"
        "[ \"$(cat $chip)\" = bcm2835 ] || echo bcm2835 >$chip\n"
        "edge=/sys/module/bexo_board/parameters/edge\n"
        "[ \"$(cat $edge)\" = works ] || echo works >$edge\n"
        "rm -rf /run/* /var/log/* /opt/bexod /calls.log /tmp/probe.*\n"
        "mkdir -p /opt/bexod/start /opt/bexod/scripts /opt/bexod/tools\n");
    {
        std::lock_guard l(impl_->m);
        impl_->board = std::make_unique<Board>();
        impl_->bus.clear();
        impl_->sent_line = -1;
        impl_->answering = true;
    }
    wait_for([&] {
        std::lock_guard l(impl_->m);
        return !impl_->bus.empty() && impl_->bus.back().text == "line 0";
    }, 5);
}

Board &Guest::board() {
    std::lock_guard l(impl_->m);
    return *impl_->board;
}

bool Guest::set_chip(const std::string &model) {
    return run("echo " + quoted(model) + " >/sys/module/bexo_board/parameters/chip").status == 0;
}

bool Guest::set_edge(const std::string &support) {
    return run("echo " + quoted(support) + " >/sys/module/bexo_board/parameters/edge").status == 0;
}

void Guest::set_answering(bool answering) {
    std::lock_guard l(impl_->m);
    impl_->answering = answering;
}

Result Guest::run(const std::string &script, double timeout) { return impl_->run(script, timeout); }

Result Guest::bexo(const std::vector<std::string> &args) {
    std::string line = "bexo";
    // Appended piece by piece: `" " + quoted(a)` inserts at the front of a
    // temporary, where GCC 12 at -O3 sees a false overlap (-Wrestrict).
    for (const auto &a : args) {
        line += ' ';
        line += quoted(a);
    }
    return run(line);
}

Events Guest::events(size_t from) const {
    Events all;
    {
        std::lock_guard l(impl_->m);
        all = impl_->bus;
    }
    const Events calls = parse_calls(impl_->run("cat /calls.log 2>/dev/null", 30).out);
    all.insert(all.end(), calls.begin(), calls.end());
    std::stable_sort(all.begin(), all.end(), [](const Event &a, const Event &b) { return a.t < b.t; });
    return from < all.size() ? Events(all.begin() + static_cast<long>(from), all.end()) : Events{};
}

size_t Guest::event_count() const { return events().size(); }

Events Guest::board_writes(size_t from) const { return only(events(from), is_board_write); }

std::vector<Bytes> Guest::requests(size_t from) const { return requests_in(events(from)); }

Bytes Guest::commands(size_t from) const { return commands_in(events(from)); }

Events Guest::shim_calls(const std::string &name, size_t from) const {
    return only(events(from), [&](const Event &e) {
        return e.kind == Kind::Shim && (name.empty() || e.text == name);
    });
}

std::string Guest::read_file(const std::string &path) const {
    return impl_->run("cat " + quoted(path) + " 2>/dev/null", 30).out;
}

bool Guest::exists(const std::string &path) const {
    return impl_->run("[ -e " + quoted(path) + " ]", 30).status == 0;
}

void Guest::write_file(const std::string &path, const std::string &text) {
    const std::string folder = std::filesystem::path(path).parent_path();
    run("mkdir -p " + quoted(folder) + " && base64 -d >" + quoted(path) + " <<'EOF'\n" + base64(text) + "\nEOF\n");
}

void Guest::set_config(const std::string &text) { write_file("/opt/bexod/bexo.cfg", text); }

std::string Guest::log() const { return read_file("/var/log/bexod.log"); }

bool Guest::wait_for(const std::function<bool()> &condition, double timeout) const {
    const auto deadline = Clock::now() + std::chrono::milliseconds(static_cast<int>(timeout * 1000));
    for (;;) {
        if (condition()) return true;
        if (Clock::now() >= deadline || !failure().empty()) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

bool Guest::wait_for_log(const std::string &text, double timeout) const {
    return wait_for([&] { return log().find(text) != std::string::npos; }, timeout);
}

pid_t Guest::daemon_pid() const {
    const std::string text = read_file("/run/bexod.pid");
    return text.empty() || !isdigit(static_cast<unsigned char>(text[0])) ? 0 : std::stoi(text);
}

bool Guest::alive(pid_t pid) const {
    const std::string p = "/proc/" + std::to_string(pid);
    return pid > 0 && impl_->run("[ -d " + p + " ] && ! grep -q '^State:.*Z' " + p + "/status", 30).status == 0;
}

bool Guest::gone(pid_t pid, double timeout) const {
    return wait_for([&] { return !alive(pid); }, timeout);
}

int Guest::gpio_base() const {
    const std::string base = impl_->run(
        "for c in /sys/class/gpio/gpiochip*; do case \"$(cat $c/label)\" in pinctrl-*) cat $c/base;; esac; done",
        30).out;
    return base.empty() ? -1 : std::stoi(base);
}

World::GpioLine Guest::gpio(int chip_line) const {
    World::GpioLine line;
    const std::string d = "/sys/class/gpio/gpio" + std::to_string(gpio_base() + chip_line);
    std::istringstream in(impl_->run("cd " + d + " && cat direction value edge active_low", 30).out);
    std::string direction;
    int active_low = 0;
    if (in >> direction >> line.level >> line.edge >> active_low) {
        line.exported = true;
        line.output = direction == "out";
        line.active_low = active_low != 0;
    }
    return line;
}

}  // namespace sim

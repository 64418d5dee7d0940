// SPDX-License-Identifier: GPL-2.0-or-later
// sim-probe: a small client for tests of the world itself and of the real
// kernel (the kernel tier runs the ARM builds of it in its guest). Each
// argument is one step, done in order; each prints one line: the step, its
// result, the errno name (or OK) and any data.
//   open:PATH  use:N (the N-th descriptor opened, from 0)  bind:ADDR  close
//   smbus:BYTE (byte write)  rbyte (read byte)  rbdata:REG  wbdata:REG,VAL
//   rword:REG  quick  block:REG  funcs  write:HEX,HEX..  read:N
//   sleep:MS   wfile:PATH=TEXT ("\n" for a line end)  rfile:PATH
// GPIO through common/hw/gpiolib, on one held value descriptor:
//   gedge:LINE=WORD (none, rising, falling, both; another word: a value
//   gpiolib refuses)  gopen:LINE  gread  gclose
//   cloexec (1 when the held descriptor is close-on-exec)
//   poll:EVENTS,MS (EVENTS: in, pri or in+pri; prints the revents, and
//   "late" when events came only with the time-out, as a missed wake-up
//   shows; tells
//   "polling K" on standard error as it begins its K-th poll, so that a test
//   can act while it waits)

#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/hw/gpiolib.hpp"

namespace {

int fd = -1;
std::vector<int> opened;
int value_fd = -1;  // the held GPIO value descriptor
int polls = 0;

void report(const std::string &step, long result, const std::string &data = "") {
    const int err = errno;
    printf("%s %ld %s%s%s\n", step.c_str(), result, result < 0 ? strerrorname_np(err) : "OK",
           data.empty() ? "" : " ", data.c_str());
}

std::string unescape(const std::string &s) {
    std::string out;
    for (size_t i = 0; i < s.size(); i++) {
        if (s[i] == '\\' && i + 1 < s.size() && s[i + 1] == 'n') {
            out += '\n';
            i++;
        } else {
            out += s[i];
        }
    }
    return out;
}

std::string hex(const unsigned char *b, long n) {
    std::string s;
    char x[4];
    for (long i = 0; i < n; i++) {
        snprintf(x, sizeof x, "%02x", b[i]);
        if (i) s += ',';
        s += x;
    }
    return s;
}

// The other SMBus transfers; prints the byte or word read.
void smbus(const std::string &op, const std::string &arg) {
    i2c_smbus_data data{};
    i2c_smbus_ioctl_data d{I2C_SMBUS_READ, static_cast<uint8_t>(strtol(arg.c_str(), nullptr, 0)),
                           I2C_SMBUS_BYTE_DATA, &data};
    if (op == "rbyte") d.size = I2C_SMBUS_BYTE;
    if (op == "rword") d.size = I2C_SMBUS_WORD_DATA;
    if (op == "block") d.size = I2C_SMBUS_BLOCK_DATA;
    if (op == "quick") {
        d.read_write = I2C_SMBUS_WRITE;
        d.size = I2C_SMBUS_QUICK;
        d.data = nullptr;
    }
    if (op == "wbdata") {
        d.read_write = I2C_SMBUS_WRITE;
        data.byte = static_cast<uint8_t>(strtol(arg.substr(arg.find(',') + 1).c_str(), nullptr, 0));
    }
    const long r = ioctl(fd, I2C_SMBUS, &d);
    char text[16] = "";
    if (r == 0 && d.read_write == I2C_SMBUS_READ)
        snprintf(text, sizeof text, d.size == I2C_SMBUS_WORD_DATA ? "%04x" : "%02x",
                 d.size == I2C_SMBUS_WORD_DATA ? data.word : data.byte);
    report(op, r, text);
}

std::string revents_names(short revents) {
    static const struct {
        short bit;
        const char *name;
    } names[] = {{POLLIN, "IN"}, {POLLPRI, "PRI"}, {POLLOUT, "OUT"}, {POLLERR, "ERR"},
                 {POLLHUP, "HUP"}, {POLLNVAL, "NVAL"}};
    std::string out;
    for (const auto &n : names)
        if (revents & n.bit) {
            if (!out.empty()) out += ',';
            out += n.name;
        }
    return out;
}

int edge_code(const std::string &word) {
    const char *words[] = {"none", "rising", "falling", "both"};
    for (int i = 0; i < 4; i++)
        if (word == words[i]) return i;
    return 99;
}

// poll:EVENTS,MS on the held value descriptor.
void poll_value(const std::string &arg) {
    const size_t comma = arg.find(',');
    const std::string events = arg.substr(0, comma);
    const std::string rest = comma == std::string::npos ? "0" : arg.substr(comma + 1);
    pollfd p{value_fd, 0, 0};
    if (events.find("in") != std::string::npos) p.events |= POLLIN;
    if (events.find("pri") != std::string::npos) p.events |= POLLPRI;
    const int timeout_ms = atoi(rest.c_str());
    fprintf(stderr, "polling %d\n", ++polls);
    timespec began{}, ended{};
    clock_gettime(CLOCK_BOOTTIME, &began);
    const int n = poll(&p, 1, timeout_ms);
    clock_gettime(CLOCK_BOOTTIME, &ended);
    const double waited_ms = (ended.tv_sec - began.tv_sec) * 1e3 + (ended.tv_nsec - began.tv_nsec) / 1e6;
    std::string data = n > 0 ? revents_names(p.revents) : "";
    if (n > 0 && timeout_ms > 0 && waited_ms >= timeout_ms) data += " late";
    report("poll", n, data);
}

// The steps on GPIO lines through gpiolib; false for another step.
bool gpio_step(const std::string &op, const std::string &arg) {
    if (op == "gedge") {
        const size_t eq = arg.find('=');
        report(op, gpio_edge(atoi(arg.c_str()), edge_code(arg.substr(eq + 1))));
    } else if (op == "gopen") {
        value_fd = gpio_value_open(atoi(arg.c_str()));
        report(op, value_fd < 0 ? -1 : 0);
    } else if (op == "gread") {
        report(op, gpio_value_read(value_fd));
    } else if (op == "gclose") {
        report(op, gpio_value_close(value_fd));
        value_fd = -1;
    } else if (op == "cloexec") {
        const int flags = fcntl(value_fd, F_GETFD);
        report(op, flags < 0 ? -1 : (flags & FD_CLOEXEC ? 1 : 0));
    } else if (op == "poll") {
        poll_value(arg);
    } else {
        return false;
    }
    return true;
}

void step(const std::string &s) {
    const size_t colon = s.find(':');
    const std::string op = s.substr(0, colon);
    const std::string arg = colon == std::string::npos ? "" : s.substr(colon + 1);
    errno = 0;
    if (op == "open") {
        fd = open(arg.c_str(), O_RDWR);
        if (fd >= 0) opened.push_back(fd);
        report(op, fd < 0 ? -1 : 0);  // descriptor numbers depend on umockdev
    } else if (op == "use") {
        const size_t i = static_cast<size_t>(atol(arg.c_str()));
        fd = i < opened.size() ? opened[i] : -1;
    } else if (op == "bind") {
        report(op, ioctl(fd, I2C_SLAVE, strtol(arg.c_str(), nullptr, 0)));
    } else if (op == "smbus") {
        i2c_smbus_ioctl_data d{I2C_SMBUS_WRITE, static_cast<uint8_t>(strtol(arg.c_str(), nullptr, 0)),
                               I2C_SMBUS_BYTE, nullptr};
        report(op, ioctl(fd, I2C_SMBUS, &d));
    } else if (op == "rbyte" || op == "rbdata" || op == "wbdata" || op == "rword" || op == "quick" ||
               op == "block") {
        smbus(op, arg);
    } else if (op == "funcs") {
        unsigned long funcs = 0;
        const long r = ioctl(fd, I2C_FUNCS, &funcs);
        char text[32];
        snprintf(text, sizeof text, "%lx", funcs);
        report(op, r, r == 0 ? text : "");
    } else if (op == "write") {
        unsigned char b[64];
        long n = 0;
        for (const char *p = arg.c_str(); *p && n < 64; p += (*p == ',')) {
            char *end;
            b[n++] = static_cast<unsigned char>(strtol(p, &end, 16));
            p = end;
        }
        report(op, write(fd, b, static_cast<size_t>(n)));
    } else if (op == "read") {
        unsigned char b[64] = {};
        const long n = read(fd, b, static_cast<size_t>(std::min(64L, atol(arg.c_str()))));
        report(op, n, n > 0 ? hex(b, n) : "");
    } else if (op == "close") {
        report(op, close(fd));
    } else if (op == "sleep") {
        usleep(static_cast<useconds_t>(atol(arg.c_str()) * 1000));
    } else if (op == "wfile") {
        const size_t eq = arg.find('=');
        const std::string text = unescape(arg.substr(eq + 1));
        const int f = open(arg.substr(0, eq).c_str(), O_WRONLY);
        if (f < 0) {
            report(op, f);
            return;
        }
        const long n = write(f, text.data(), text.size());
        report(op, n);
        close(f);
    } else if (op == "rfile") {
        const int f = open(arg.c_str(), O_RDONLY);
        if (f < 0) {
            report(op, f);
            return;
        }
        char b[256] = {};
        const long n = read(f, b, sizeof b - 1);
        std::string text;
        for (long i = 0; i < n; i++) text += b[i] == '\n' ? std::string("\\n") : std::string(1, b[i]);
        report(op, n, "\"" + text + "\"");
        close(f);
    } else if (!gpio_step(op, arg)) {
        printf("%s unknown-step\n", s.c_str());
    }
}

}  // namespace

int main(int argc, char **argv) {
    // Each line goes out at once, for a test that follows a run in progress.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    for (int i = 1; i < argc; i++) step(argv[i]);
    return 0;
}

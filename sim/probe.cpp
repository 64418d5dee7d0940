// sim-probe: a small client for tests of the world itself. Each argument is
// one step, done in order; each prints one line: the step, its result, the
// errno name (or OK) and any data.
//   open:PATH  bind:ADDR  smbus:BYTE  write:HEX,HEX..  read:N  close
//   sleep:MS   wfile:PATH=TEXT ("\n" for a line end)  rfile:PATH

#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

int fd = -1;

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

void step(const std::string &s) {
    const size_t colon = s.find(':');
    const std::string op = s.substr(0, colon);
    const std::string arg = colon == std::string::npos ? "" : s.substr(colon + 1);
    errno = 0;
    if (op == "open") {
        fd = open(arg.c_str(), O_RDWR);
        report(op, fd < 0 ? -1 : 0);  // descriptor numbers depend on umockdev
    } else if (op == "bind") {
        report(op, ioctl(fd, I2C_SLAVE, strtol(arg.c_str(), nullptr, 0)));
    } else if (op == "smbus") {
        i2c_smbus_ioctl_data d{I2C_SMBUS_WRITE, static_cast<uint8_t>(strtol(arg.c_str(), nullptr, 0)),
                               I2C_SMBUS_BYTE, nullptr};
        report(op, ioctl(fd, I2C_SMBUS, &d));
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
    } else {
        printf("%s unknown-step\n", s.c_str());
    }
}

}  // namespace

int main(int argc, char **argv) {
    for (int i = 1; i < argc; i++) step(argv[i]);
    return 0;
}

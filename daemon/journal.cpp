// SPDX-License-Identifier: GPL-2.0-or-later
#include "daemon/journal.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

namespace {

constexpr char SYSLOG_SOCKET[] = "/dev/log";
constexpr char IDENTITY[] = "bexod";
constexpr int DATAGRAM_SIZE = 1024;
constexpr int STAMP_SIZE = 32;

struct message_level {
    const char *message;
    int level;
};

const message_level LEVELS[] = {
    {"BEXOD:  Voltage loss!\n", LOG_WARNING},
    {"BEXOD:  Received manual Shutdown signal!\n", LOG_WARNING},
    {"BEXOD: Received Shutdown signal through low battery capacity.\n", LOG_WARNING},
    {"BEXOD:  Received Shutdown Signal through timer expired.\n", LOG_WARNING},
    {"BEXOD:  Shutdown through timed shutdown - timer expired!\n", LOG_WARNING},
    {"BEXOD:  i2c-Request timed out \n", LOG_WARNING},
    {"BEXOD:  The system did not go down; watching the board again\n", LOG_WARNING},
    {"BEXOD:  NUT export: unable to read the board\n", LOG_WARNING},
    {"BEXOD:  NUT export: unable to write /run/bexod/bexo.dev\n", LOG_WARNING},
    {"BEXOD:  NUT export: three readings failed; /run/bexod/bexo.dev removed\n", LOG_WARNING},
    {"BEXOD:  Unable to start the notify command\n", LOG_WARNING},
    // Every problem of the configuration file; the line goes on with its details.
    {"BEXOD:  Configuration ", LOG_WARNING},
    {"BEXOD:  timer error\n", LOG_ERR},
    {"BEXOD:  Unable to export GPIO\n", LOG_ERR},
    {"BEXOD:  Unable to change to output\n", LOG_ERR},
    {"BEXOD:  Unable to set output high\n", LOG_ERR},
    {"BEXOD:  Unable to change to input\n", LOG_ERR},
    {"BEXOD:  Unable to select I2C device\n", LOG_ERR},
    {"BEXOD:  Set GPIO to input\n", LOG_INFO},
    {"BEXOD:  Set GPIO to output\n", LOG_INFO},
};

// "<PRI>Mmm dd hh:mm:ss bexod[PID]: message", as the C library's syslog
// writes it. Returns the length, or 0 when it cannot be formed.
int format_datagram(char *out, const char *message) {
    char stamp[STAMP_SIZE];
    struct tm local;
    const time_t now = time(nullptr);
    if (localtime_r(&now, &local) == nullptr ||
        strftime(stamp, sizeof stamp, "%b %e %H:%M:%S", &local) == 0) {
        return 0;
    }
    size_t length = strlen(message);
    if (length > 0 && message[length - 1] == '\n') --length;
    const int written =
        snprintf(out, DATAGRAM_SIZE, "<%d>%s %s[%d]: %.*s", LOG_DAEMON | journal_level(message),
                 stamp, IDENTITY, static_cast<int>(getpid()), static_cast<int>(length), message);
    if (written < 0) return 0;
    return written < DATAGRAM_SIZE ? written : DATAGRAM_SIZE - 1;
}

// A connected socket to the system log, or -1. A listener on a stream
// socket (some syslog daemons) is reached too; `stream` tells which.
int connect_system_log(bool *stream) {
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    snprintf(address.sun_path, sizeof address.sun_path, "%s", SYSLOG_SOCKET);
    const int types[] = {SOCK_DGRAM, SOCK_STREAM};
    for (int type : types) {
        const int sock = socket(AF_UNIX, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (sock < 0) return -1;
        if (connect(sock, reinterpret_cast<struct sockaddr *>(&address), sizeof address) == 0) {
            *stream = type == SOCK_STREAM;
            return sock;
        }
        const bool other_type = errno == EPROTOTYPE;
        close(sock);
        if (!other_type) return -1;
    }
    return -1;
}

}  // namespace

// An entry is the beginning of the messages it stands for: a whole line for
// most, only the start for the configuration's problems.
int journal_level(const char *message) {
    for (const message_level &entry : LEVELS) {
        if (strncmp(entry.message, message, strlen(entry.message)) == 0) return entry.level;
    }
    return LOG_NOTICE;
}

void journal_send(const char *message) {
    const int saved_errno = errno;
    char datagram[DATAGRAM_SIZE];
    const int length = format_datagram(datagram, message);
    bool stream = false;
    const int sock = length > 0 ? connect_system_log(&stream) : -1;
    if (sock >= 0) {
        // A stream listener takes the terminating zero as the end of the message.
        const size_t size = static_cast<size_t>(length) + (stream ? 1 : 0);
        (void)!send(sock, datagram, size, MSG_DONTWAIT | MSG_NOSIGNAL);
        close(sock);
    }
    errno = saved_errno;
}

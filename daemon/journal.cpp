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

// "<PRI>Mmm dd hh:mm:ss bexod[PID]: message", as the C library's syslog
// writes it. Returns the length, or 0 when it cannot be formed.
int format_datagram(char *out, int level, const char *message) {
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
        snprintf(out, DATAGRAM_SIZE, "<%d>%s %s[%d]: %.*s", LOG_DAEMON | level, stamp, IDENTITY,
                 static_cast<int>(getpid()), static_cast<int>(length), message);
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

void journal_send(int level, const char *message) {
    const int saved_errno = errno;
    char datagram[DATAGRAM_SIZE];
    const int length = format_datagram(datagram, level, message);
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

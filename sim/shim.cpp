// SPDX-License-Identifier: GPL-2.0-or-later
// sim-shim: stands in for sudo, systemctl, python, twiboot and sim-mark
// inside a simulated world (the name it is called by says which). It reports
// the call to the world and waits for the world to record it, so the record
// keeps the exact order against bus traffic. sudo then runs its command;
// the others exit with the status the world answers.

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "sim/shim_protocol.hpp"

namespace {

bool write_all(int fd, const void *buf, size_t n) {
    const auto *p = static_cast<const char *>(buf);
    while (n > 0) {
        const ssize_t done = write(fd, p, n);
        if (done < 0 && errno == EINTR) continue;
        if (done <= 0) return false;
        p += done;
        n -= static_cast<size_t>(done);
    }
    return true;
}

// Returns the exit status the world asks for, or -1 when there is no world.
int report(const char *name, int argc, char **argv) {
    const char *path = getenv(SHIM_SOCKET_ENV);
    if (!path || strlen(path) >= sizeof(sockaddr_un::sun_path)) return -1;
    std::string payload;
    const mode_t mask = umask(0);
    umask(mask);
    for (const std::string &field : {std::string(name), std::to_string(getpid()),
                                     std::to_string(geteuid()), std::to_string(mask)}) {
        payload += field;
        payload += '\0';
    }
    for (int i = 0; i < argc; i++) {
        payload += argv[i];
        payload += '\0';
    }
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    strcpy(addr.sun_path, path);
    const uint32_t length = static_cast<uint32_t>(payload.size());
    int32_t status = -1;
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        !write_all(fd, &length, sizeof length) || !write_all(fd, payload.data(), payload.size()) ||
        read(fd, &status, sizeof status) != sizeof status)
        status = -1;
    if (fd >= 0) close(fd);
    return status;
}

}  // namespace

int main(int argc, char **argv) {
    const char *slash = strrchr(argv[0], '/');
    const char *name = slash ? slash + 1 : argv[0];
    int first = 1;
    if (strcmp(name, "sim-shim") == 0) {
        if (argc < 2) {
            fprintf(stderr, "usage: sim-shim NAME [ARG...]\n");
            return 2;
        }
        name = argv[1];
        first = 2;
    }
    const int status = report(name, argc - first, argv + first);
    if (status < 0) fprintf(stderr, "%s (sim shim): no world to report to\n", name);

    if (strcmp(name, "sudo") == 0) {
        if (first >= argc) {
            fprintf(stderr, "usage: sudo COMMAND [ARG...]\n");
            return 1;
        }
        execvp(argv[first], argv + first);
        fprintf(stderr, "sudo: %s: command not found\n", argv[first]);
        return 1;
    }
    return status < 0 ? 1 : status;
}

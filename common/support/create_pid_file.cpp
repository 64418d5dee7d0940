// SPDX-License-Identifier: GPL-2.0-or-later
#include "common/support/create_pid_file.hpp"

#include "common/support/error_functions.hpp"
#include "common/support/region_locking.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int BUF_SIZE = 100;

void setCloseOnExec(int fd, const char *pidFile) {
    int flags = fcntl(fd, F_GETFD);
    if (flags == -1) errExit("Could not get flags for PID file %s", pidFile);
    flags |= FD_CLOEXEC;
    if (fcntl(fd, F_SETFD, flags) == -1) errExit("Could not set flags for PID file %s", pidFile);
}

// The lock comes before the truncation, so a losing instance leaves the
// running one's PID file as it is.
void lockWholeFile(int fd, const char *progName, const char *pidFile) {
    if (lockRegion(fd, F_WRLCK, SEEK_SET, 0, 0) == -1) {
        if (errno == EAGAIN || errno == EACCES)
            fatal("PID file '%s' is locked; probably '%s' is already running", pidFile, progName);
        errExit("Unable to lock PID file '%s'", pidFile);
    }
}

void writePid(int fd, const char *pidFile) {
    char buf[BUF_SIZE];
    if (ftruncate(fd, 0) == -1) errExit("Could not truncate PID file '%s'", pidFile);

    snprintf(buf, BUF_SIZE, "%ld\n", static_cast<long>(getpid()));
    ssize_t len = static_cast<ssize_t>(strlen(buf));
    if (write(fd, buf, static_cast<size_t>(len)) != len) fatal("Writing to PID file '%s'", pidFile);
}

}  // namespace

int createPidFile(const char *progName, const char *pidFile, int flags) {
    int fd = open(pidFile, O_RDWR | O_CREAT, S_IRUSR | S_IWUSR);
    if (fd == -1) errExit("Could not open PID file %s", pidFile);

    if (flags & CPF_CLOEXEC) setCloseOnExec(fd, pidFile);

    lockWholeFile(fd, progName, pidFile);
    writePid(fd, pidFile);
    return fd;
}

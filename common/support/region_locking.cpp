// SPDX-License-Identifier: GPL-2.0-or-later
#include "common/support/region_locking.hpp"

#include <fcntl.h>

namespace {

struct flock lockRecord(int type, int whence, off_t start, off_t len) {
    struct flock fl {};
    fl.l_type = static_cast<short>(type);
    fl.l_whence = static_cast<short>(whence);
    fl.l_start = start;
    fl.l_len = len;
    return fl;
}

}  // namespace

int lockReg(int fd, int cmd, int type, int whence, off_t start, off_t len) {
    struct flock fl = lockRecord(type, whence, start, len);
    return fcntl(fd, cmd, &fl);
}

int lockRegion(int fd, int type, int whence, off_t start, off_t len) {
    return lockReg(fd, F_SETLK, type, whence, start, len);
}

int lockRegionWait(int fd, int type, int whence, off_t start, off_t len) {
    return lockReg(fd, F_SETLKW, type, whence, start, len);
}

pid_t regionIsLocked(int fd, int type, int whence, off_t start, off_t len) {
    struct flock fl = lockRecord(type, whence, start, len);
    if (fcntl(fd, F_GETLK, &fl) == -1) return -1;
    return (fl.l_type == F_UNLCK) ? 0 : fl.l_pid;
}

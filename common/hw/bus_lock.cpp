// SPDX-License-Identifier: GPL-2.0-or-later
#include "common/hw/bus_lock.hpp"

#include <fcntl.h>

#include <cerrno>

namespace {

constexpr off_t QUEUE_BYTE = 0;
constexpr off_t BUS_BYTE = 1;

// Nobody holds the bus for longer than one exchange (a second at most); a
// few of them queued ahead still fit easily.
constexpr unsigned WAIT_LIMIT_US = 5000000;
constexpr unsigned WAIT_STEP_US = 2000;

int held = 0;         // counts of the bus lock this process holds
bool queued = false;  // this process holds the queue byte

enum lock_try { LOCK_TAKEN, LOCK_BUSY, LOCK_UNSUPPORTED };

lock_try set_lock(int fd, short type, off_t byte) {
    struct flock region = {};
    region.l_type = type;
    region.l_whence = SEEK_SET;
    region.l_start = byte;
    region.l_len = 1;
    if (fcntl(fd, F_OFD_SETLK, &region) == 0) {
        return LOCK_TAKEN;
    }
    return errno == EAGAIN || errno == EACCES || errno == EINTR ? LOCK_BUSY : LOCK_UNSUPPORTED;
}

// Tries until taken, refused for good, or `waited` reaches the limit.
bool take(int fd, off_t byte, unsigned *waited, void (*pause)(unsigned microseconds)) {
    for (;;) {
        switch (set_lock(fd, F_WRLCK, byte)) {
        case LOCK_TAKEN: return true;
        case LOCK_UNSUPPORTED: return false;
        case LOCK_BUSY: break;
        }
        if (*waited >= WAIT_LIMIT_US) {
            return false;
        }
        pause(WAIT_STEP_US);
        *waited += WAIT_STEP_US;
    }
}

}  // namespace

bool bus_lock(int fd, void (*pause)(unsigned microseconds)) {
    if (held > 0) {
        ++held;
        return true;
    }
    unsigned waited = 0;
    // A transfer that starts while this process waits in the queue (a stop
    // sequence run from the wait's pause) is already at its head.
    const bool queue_here = !queued;
    if (queue_here) {
        queued = take(fd, QUEUE_BYTE, &waited, pause);
    }
    const bool taken = take(fd, BUS_BYTE, &waited, pause);
    if (queue_here && queued) {
        set_lock(fd, F_UNLCK, QUEUE_BYTE);
        queued = false;
    }
    if (taken) {
        held = 1;
    }
    return taken;
}

void bus_unlock(int fd) {
    if (held > 0 && --held == 0) {
        set_lock(fd, F_UNLCK, BUS_BYTE);
    }
}

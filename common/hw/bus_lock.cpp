// SPDX-License-Identifier: GPL-2.0-or-later
#include "common/hw/bus_lock.hpp"

#include <fcntl.h>

#include <cerrno>
#include <cstdint>
#include <ctime>

namespace {

constexpr off_t QUEUE_BYTE = 0;
constexpr off_t BUS_BYTE = 1;

constexpr unsigned WAIT_STEP_US = 2000;
constexpr int64_t NS_PER_US = 1000;

int held = 0;          // counts of the bus lock this process holds
bool queued = false;   // this process holds the queue byte
// A wait that goes ahead ran out, on the queue or on the bus, and the
// turn-taking has not been found free since.
bool stalled = false;

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

int64_t monotonic_us(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / NS_PER_US;
}

// Tries until taken, refused for good, or the deadline has passed.
lock_try take(int fd, off_t byte, int64_t deadline_us, void (*pause)(unsigned microseconds)) {
    for (;;) {
        const lock_try got = set_lock(fd, F_WRLCK, byte);
        if (got != LOCK_BUSY) {
            return got;
        }
        const int64_t left = deadline_us - monotonic_us();
        if (left <= 0) {
            return LOCK_BUSY;
        }
        pause(left < WAIT_STEP_US ? static_cast<unsigned>(left) : WAIT_STEP_US);
    }
}

}  // namespace

bus_lock_result bus_lock(int fd, unsigned wait_limit_us, bus_wait_end end,
                         void (*pause)(unsigned microseconds)) {
    if (held > 0) {
        ++held;
        return BUS_LOCKED;
    }
    const int64_t deadline = monotonic_us() + (stalled ? 0 : wait_limit_us);
    // A transfer that starts while this process waits in the queue (a stop
    // sequence run from the wait's pause) is already at its head.
    const bool queue_here = !queued;
    if (queue_here) {
        queued = take(fd, QUEUE_BYTE, deadline, pause) == LOCK_TAKEN;
    }
    // A process stopped while it waits in the queue keeps its place there:
    // the bus itself may be free, but the queue never frees.
    const bool queue_free = !queue_here || queued;
    const lock_try got = take(fd, BUS_BYTE, deadline, pause);
    if (queue_here && queued) {
        set_lock(fd, F_UNLCK, QUEUE_BYTE);
        queued = false;
    }
    switch (got) {
    case LOCK_TAKEN:
        held = 1;
        stalled = queue_free ? false : stalled || end == BUS_GO_AHEAD;
        return BUS_LOCKED;
    case LOCK_BUSY:
        stalled = stalled || end == BUS_GO_AHEAD;
        return BUS_BUSY;
    case LOCK_UNSUPPORTED: break;
    }
    return BUS_NO_LOCKS;
}

bool bus_stalled(void) { return stalled; }

void bus_unlock(int fd) {
    if (held > 0 && --held == 0) {
        set_lock(fd, F_UNLCK, BUS_BYTE);
    }
}

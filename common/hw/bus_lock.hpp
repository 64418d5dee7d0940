// SPDX-License-Identifier: GPL-2.0-or-later
// Turns on one I2C bus for every process that talks to the board: bexo,
// bexod and anything else that honours an advisory lock on the bus node.
// A request and its reply belong together; while one process waits for its
// reply, another must not send.
#pragma once

enum bus_lock_result {
    BUS_LOCKED,    // the bus is this process's until bus_unlock
    BUS_BUSY,      // another process held it for the whole wait
    BUS_NO_LOCKS,  // the node takes no locks; nobody can take turns on it
};

// What a caller does when its wait for the bus runs out.
enum bus_wait_end {
    BUS_GO_AHEAD,  // transfers unlocked, still guarded by its echo check
    BUS_GIVE_UP,   // leaves the transfer for later
};

// Takes the bus for one transfer: an OFD write lock on byte 1 of the node
// that `fd` is open on. A waiter queues on byte 0 first, so a process that
// gives the bus up and asks again at once comes after the one already
// waiting. Waits at most `wait_limit_us` on the monotonic clock, in pauses
// of `pause` (which a signal may cut short). A process stopped while it
// holds the bus, or while it waits in the queue, holds its byte for as long
// as it stays stopped: once a wait that goes ahead has run out on either,
// later calls only try once, without waiting, until one finds both free
// again. Taking it again while holding it only counts.
bus_lock_result bus_lock(int fd, unsigned wait_limit_us, bus_wait_end end,
                         void (*pause)(unsigned microseconds));

// True from a wait that went ahead after running out until the turn-taking
// is found free again.
bool bus_stalled(void);

// Gives up one count of the lock taken by bus_lock (call only when it
// returned BUS_LOCKED); the last one frees the bus.
void bus_unlock(int fd);

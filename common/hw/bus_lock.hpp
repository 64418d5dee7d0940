// SPDX-License-Identifier: GPL-2.0-or-later
// Turns on one I2C bus for every process that talks to the board: bexo,
// bexod and anything else that honours an advisory lock on the bus node.
// A request and its reply belong together; while one process waits for its
// reply, another must not send.
#pragma once

// Takes the bus for one transfer: an OFD write lock on byte 1 of the node
// that `fd` is open on. A waiter queues on byte 0 first, so a process that
// gives the bus up and asks again at once comes after the one already
// waiting. Waits in steps of `pause`, for a bounded time; gives up (false)
// when the lock stays held longer or the node takes no locks, and the
// transfer then goes ahead unlocked, still guarded by its echo check.
// Taking it again while holding it only counts.
bool bus_lock(int fd, void (*pause)(unsigned microseconds));

// Gives up one count of the lock taken by bus_lock (call only when it
// returned true); the last one frees the bus.
void bus_unlock(int fd);

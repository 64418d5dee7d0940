// SPDX-License-Identifier: GPL-2.0-or-later
// Timing of the one call a driver is run for: the engine's own work, apart
// from starting the process.
#pragma once

#include <ctime>

inline long long driver_now_ns() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

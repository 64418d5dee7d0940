// SPDX-License-Identifier: GPL-2.0-or-later
#include "bench/drivers/fsync_timer.hpp"

#include "bench/drivers/driver_clock.hpp"

long long fsync_ns_total = 0;

extern "C" int __real_fsync(int fd);

extern "C" int __wrap_fsync(int fd) {
    const long long start = driver_now_ns();
    const int result = __real_fsync(fd);
    fsync_ns_total += driver_now_ns() - start;
    return result;
}

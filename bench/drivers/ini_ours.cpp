// SPDX-License-Identifier: GPL-2.0-or-later
// INI driver for our engine: one ini_getl or one ini_puts per process.
//   ini-ours get FILE SECTION KEY          prints "value=N ns=T"
//   ini-ours put FILE SECTION KEY VALUE    prints "result=R ns=T fsync_ns=S"
//   ini-ours none                          the floor: a process that does nothing
#include <cstdio>
#include <cstring>

#include "bench/drivers/driver_clock.hpp"
#include "bench/drivers/fsync_timer.hpp"
#include "common/config/ini_store.hpp"

int main(int argc, char **argv) {
    if (argc == 2 && strcmp(argv[1], "none") == 0) {
        printf("ns=0\n");
        return 0;
    }
    if (argc == 5 && strcmp(argv[1], "get") == 0) {
        const long long start = driver_now_ns();
        const int32_t value = ini_getl(argv[3], argv[4], -1, argv[2]);
        const long long ns = driver_now_ns() - start;
        printf("value=%d ns=%lld\n", static_cast<int>(value), ns);
        return 0;
    }
    if (argc == 6 && strcmp(argv[1], "put") == 0) {
        const long long start = driver_now_ns();
        const int result = ini_puts(argv[3], argv[4], argv[5], argv[2]);
        const long long ns = driver_now_ns() - start;
        printf("result=%d ns=%lld fsync_ns=%lld\n", result, ns, fsync_ns_total);
        return result == 1 ? 0 : 1;
    }
    fprintf(stderr, "usage: %s get FILE SECTION KEY | put FILE SECTION KEY VALUE | none\n", argv[0]);
    return 2;
}

// SPDX-License-Identifier: GPL-2.0-or-later
// INI driver for libiniparser: it loads the whole file into a dictionary;
// a change is written by dumping the whole dictionary over the file. Like
// the other drivers it stays off the C++ library, so that every driver
// process starts from the same memory floor.
#include <iniparser/iniparser.h>

#include <cstdio>
#include <cstring>

#include "bench/drivers/driver_clock.hpp"

int main(int argc, char **argv) {
    if (argc == 5 && strcmp(argv[1], "get") == 0) {
        char entry[512];
        snprintf(entry, sizeof entry, "%s:%s", argv[3], argv[4]);
        const long long start = driver_now_ns();
        dictionary *d = iniparser_load(argv[2]);
        const int value = d != nullptr ? iniparser_getint(d, entry, -1) : -1;
        if (d != nullptr) iniparser_freedict(d);
        const long long ns = driver_now_ns() - start;
        printf("value=%d ns=%lld\n", value, ns);
        return d != nullptr ? 0 : 1;
    }
    if (argc == 6 && strcmp(argv[1], "put") == 0) {
        char entry[512];
        snprintf(entry, sizeof entry, "%s:%s", argv[3], argv[4]);
        const long long start = driver_now_ns();
        dictionary *d = iniparser_load(argv[2]);
        bool ok = d != nullptr && iniparser_set(d, entry, argv[5]) == 0;
        if (ok) {
            FILE *out = fopen(argv[2], "w");
            ok = out != nullptr;
            if (ok) {
                iniparser_dump_ini(d, out);
                ok = fclose(out) == 0;
            }
        }
        if (d != nullptr) iniparser_freedict(d);
        const long long ns = driver_now_ns() - start;
        printf("result=%d ns=%lld\n", ok ? 1 : 0, ns);
        return ok ? 0 : 1;
    }
    fprintf(stderr, "usage: %s get FILE SECTION KEY | put FILE SECTION KEY VALUE\n", argv[0]);
    return 2;
}

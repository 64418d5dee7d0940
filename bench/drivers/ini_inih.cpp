// SPDX-License-Identifier: GPL-2.0-or-later
// INI driver for libinih: the whole file goes through the parser's callback,
// which keeps the value of the wanted key. inih has no writer.
#include <ini.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "bench/drivers/driver_clock.hpp"

namespace {

struct Wanted {
    const char *section;
    const char *key;
    long value;
    bool found;
};

int keep_wanted(void *user, const char *section, const char *name, const char *value) {
    auto *wanted = static_cast<Wanted *>(user);
    if (!wanted->found && strcasecmp(section, wanted->section) == 0 &&
        strcasecmp(name, wanted->key) == 0) {
        wanted->value = strtol(value, nullptr, 0);
        wanted->found = true;
    }
    return 1;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc == 5 && strcmp(argv[1], "get") == 0) {
        Wanted wanted{argv[3], argv[4], -1, false};
        const long long start = driver_now_ns();
        const int parsed = ini_parse(argv[2], keep_wanted, &wanted);
        const long long ns = driver_now_ns() - start;
        printf("value=%ld ns=%lld\n", wanted.found ? wanted.value : -1L, ns);
        return parsed == 0 ? 0 : 1;
    }
    if (argc >= 2 && strcmp(argv[1], "put") == 0) {
        fprintf(stderr, "inih has no writer\n");
        return 3;
    }
    fprintf(stderr, "usage: %s get FILE SECTION KEY\n", argv[0]);
    return 2;
}

// SPDX-License-Identifier: GPL-2.0-or-later
// idle-loop FILE: the system calls of one idle daemon cycle without the
// simulated world: open, read and close one small file (a sysfs attribute,
// as the event line's value is on a Pi), then pause one second; for ever.
// The daemon benchmark measures it beside bexod as the world-free floor.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s FILE\n", argv[0]);
        return 2;
    }
    sigset_t none;
    sigemptyset(&none);
    for (;;) {
        char value[16];
        const int fd = open(argv[1], O_RDONLY);
        if (fd < 0) return 1;
        if (read(fd, value, sizeof value) < 0) return 1;
        close(fd);
        const timespec second{1, 0};
        ppoll(nullptr, 0, &second, &none);
    }
}

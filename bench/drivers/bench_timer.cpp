// SPDX-License-Identifier: GPL-2.0-or-later
// bench-timer COMMAND [ARGS...]: runs the command and, when it has ended,
// prints its own time and resource use as one line on standard error:
//   bench-timer: start_ns=N wall_ns=N user_us=N sys_us=N maxrss_kib=N nvcsw=N nivcsw=N status=N
// (start_ns: CLOCK_MONOTONIC when the program was started)
// Inside the simulated world this measures the program apart from the
// world's own process start and output collection.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "bench/drivers/driver_clock.hpp"

int main(int argc, char **argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s COMMAND [ARGS...]\n", argv[0]);
        return 2;
    }
    const long long start = driver_now_ns();
    const pid_t child = fork();
    if (child < 0) return 127;
    if (child == 0) {
        execvp(argv[1], argv + 1);
        fprintf(stderr, "bench-timer: cannot run %s: %s\n", argv[1], strerror(errno));
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    while (wait4(child, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    const long long wall = driver_now_ns() - start;
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    fprintf(stderr, "bench-timer: start_ns=%lld wall_ns=%lld user_us=%ld sys_us=%ld maxrss_kib=%ld nvcsw=%ld nivcsw=%ld status=%d\n",
            start, wall, usage.ru_utime.tv_sec * 1000000L + usage.ru_utime.tv_usec,
            usage.ru_stime.tv_sec * 1000000L + usage.ru_stime.tv_usec, usage.ru_maxrss,
            usage.ru_nvcsw, usage.ru_nivcsw, code);
    return code;
}

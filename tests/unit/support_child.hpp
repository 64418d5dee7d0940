// SPDX-License-Identifier: GPL-2.0-or-later
// Runs code in a forked child whose standard output and error go to one
// capture file, so tests can watch routines that end the process.
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

struct ChildResult {
    pid_t pid = -1;
    int status = -1;
    std::string output; // standard output and error, in the order written

    bool exitedWith(int code) const { return WIFEXITED(status) && WEXITSTATUS(status) == code; }
    bool killedBy(int sig) const { return WIFSIGNALED(status) && WTERMSIG(status) == sig; }
};

inline std::string readWhole(int fd)
{
    std::string text;
    char buf[4096];
    lseek(fd, 0, SEEK_SET);
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;)
        text.append(buf, static_cast<size_t>(n));
    return text;
}

// The body runs in the child; if it returns, the child ends with status 0
// without flushing anything.
inline ChildResult runInChild(const std::function<void()> &body)
{
    ChildResult result;
    fflush(stdout);
    fflush(stderr);
    FILE *capture = tmpfile();
    if (capture == nullptr)
        return result;
    pid_t pid = fork();
    if (pid == 0) {
        struct rlimit noCore {0, 0};
        setrlimit(RLIMIT_CORE, &noCore);
        dup2(fileno(capture), STDOUT_FILENO);
        dup2(fileno(capture), STDERR_FILENO);
        body();
        _exit(0);
    }
    result.pid = pid;
    if (pid > 0)
        waitpid(pid, &result.status, 0);
    result.output = readWhole(fileno(capture));
    fclose(capture);
    return result;
}

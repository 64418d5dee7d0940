// SPDX-License-Identifier: GPL-2.0-or-later
#include "bench/lib/spawn.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <stdexcept>

namespace bench {

double monotonic_seconds() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

void sleep_seconds(double seconds) {
    if (seconds <= 0) return;
    timespec ts{static_cast<time_t>(seconds),
                static_cast<long>((seconds - std::floor(seconds)) * 1e9)};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

namespace {

int decode_status(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

// In the child: environment, process group, descriptors, then exec.
[[noreturn]] void exec_child(const std::vector<std::string> &argv, const SpawnOptions &options,
                             int in_fd, int out_fd, int err_fd) {
    setpgid(0, 0);
    for (const std::string &name : options.unset_env) unsetenv(name.c_str());
    for (const std::string &entry : options.set_env) {
        const size_t eq = entry.find('=');
        setenv(entry.substr(0, eq).c_str(), entry.substr(eq + 1).c_str(), 1);
    }
    dup2(in_fd, 0);
    dup2(out_fd, 1);
    dup2(err_fd, 2);
    for (int fd = 3; fd < 1024; fd++) close(fd);
    std::vector<char *> args;
    for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    dprintf(2, "cannot run %s: %s\n", args[0], strerror(errno));
    _exit(127);
}

void make_pipe(int fds[2]) {
    if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
}

}  // namespace

SpawnOptions with_timeout(double seconds) {
    SpawnOptions options;
    options.timeout = seconds;
    return options;
}

RunStats run(const std::vector<std::string> &argv, const SpawnOptions &options) {
    int in[2], out[2], err[2];
    make_pipe(in);
    make_pipe(out);
    make_pipe(err);
    RunStats stats;
    const double start = monotonic_seconds();
    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) exec_child(argv, options, in[0], out[1], err[1]);
    setpgid(pid, pid);
    close(in[0]);
    close(out[1]);
    close(err[1]);
    signal(SIGPIPE, SIG_IGN);
    if (!options.input.empty())
        if (write(in[1], options.input.data(), options.input.size()) < 0) {
        }
    close(in[1]);

    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string *sinks[2] = {&stats.out, &stats.err};
    int open_count = 2;
    while (open_count > 0) {
        const double left = options.timeout - (monotonic_seconds() - start);
        if (left <= 0) {
            stats.timed_out = true;
            kill(-pid, SIGKILL);
            break;
        }
        if (poll(fds, 2, static_cast<int>(std::ceil(left * 1000))) < 0 && errno != EINTR) break;
        for (int i = 0; i < 2; i++) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char buffer[65536];
            const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<size_t>(n));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                open_count--;
            }
        }
    }
    for (pollfd &f : fds)
        if (f.fd >= 0) close(f.fd);
    int status = 0;
    rusage usage{};
    while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    stats.wall_s = monotonic_seconds() - start;
    stats.status = decode_status(status);
    stats.user_s = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6;
    stats.sys_s = usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6;
    stats.maxrss_kib = usage.ru_maxrss;
    stats.voluntary = usage.ru_nvcsw;
    stats.nonvoluntary = usage.ru_nivcsw;
    return stats;
}

Child::Child(const std::vector<std::string> &argv, const SpawnOptions &options,
             const std::string &log_path, bool talk) {
    int in[2] = {-1, -1}, out[2] = {-1, -1};
    int log = open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (log < 0) throw std::runtime_error("cannot write " + log_path);
    if (talk) {
        make_pipe(in);
        make_pipe(out);
    }
    const int null_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) exec_child(argv, options, talk ? in[0] : null_fd, talk ? out[1] : log, log);
    setpgid(pid_, pid_);
    close(log);
    close(null_fd);
    if (talk) {
        close(in[0]);
        close(out[1]);
        in_ = in[1];
        out_ = out[0];
    }
}

Child::~Child() {
    if (!status_) stop(2);
    if (in_ >= 0) close(in_);
    if (out_ >= 0) close(out_);
}

bool Child::running() {
    if (status_) return false;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
        status_ = decode_status(status);
        return false;
    }
    return true;
}

void Child::send(const std::string &text) {
    signal(SIGPIPE, SIG_IGN);
    if (in_ < 0 || write(in_, text.data(), text.size()) < 0) {
    }
}

std::optional<std::string> Child::line(double timeout) {
    const double end = monotonic_seconds() + timeout;
    while (true) {
        const size_t nl = buffered_.find('\n');
        if (nl != std::string::npos) {
            std::string line = buffered_.substr(0, nl);
            buffered_.erase(0, nl + 1);
            return line;
        }
        const double left = end - monotonic_seconds();
        if (out_ < 0 || left <= 0) return std::nullopt;
        pollfd p{out_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(std::ceil(left * 1000))) <= 0) continue;
        char buffer[4096];
        const ssize_t n = read(out_, buffer, sizeof buffer);
        if (n <= 0) {
            close(out_);
            out_ = -1;
            return std::nullopt;
        }
        buffered_.append(buffer, static_cast<size_t>(n));
    }
}

std::optional<int> Child::wait(double timeout) {
    const double end = monotonic_seconds() + timeout;
    while (running()) {
        if (monotonic_seconds() > end) return std::nullopt;
        sleep_seconds(0.02);
    }
    return status_;
}

int Child::stop(double grace) {
    if (running()) {
        kill(pid_, SIGTERM);
        if (!wait(grace)) {
            kill(-pid_, SIGKILL);
            kill(pid_, SIGKILL);
            wait(5);
        }
    }
    return status_.value_or(-1);
}

}  // namespace bench

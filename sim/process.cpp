// SPDX-License-Identifier: GPL-2.0-or-later
#include "sim/process.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#ifndef SYS_close_range
#define SYS_close_range 436
#endif

namespace sim {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int NOBODY = 65534;
constexpr int NESTED_UID = 1000;

int decode(int wait_status) {
    if (WIFEXITED(wait_status)) return WEXITSTATUS(wait_status);
    if (WIFSIGNALED(wait_status)) return 128 + WTERMSIG(wait_status);
    return -1;
}

// After fork only raw system calls: the preloaded libraries' wrappers may
// hold locks that another thread owned when the process forked.
long raw_write_file(const char *path, const char *text) {
    const long fd = syscall(SYS_openat, AT_FDCWD, path, O_WRONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    const long n = syscall(SYS_write, fd, text, strlen(text));
    syscall(SYS_close, fd);
    return n < 0 ? -1 : 0;
}

[[noreturn]] void child_fail(int report_fd) {
    const int err = errno;
    syscall(SYS_write, report_fd, &err, sizeof err);
    syscall(SYS_exit_group, 127);
    __builtin_unreachable();
}

struct ChildPlan {
    const char *path;
    char *const *argv;
    char *const *envp;
    int in = -1, out = -1, err = -1;  // -1: keep this process's descriptor
    bool own_group = false;
    bool as_user = false;
    UserSwitch user_switch = UserSwitch::Setresuid;
    int report = -1;                   // close-on-exec pipe for exec failures
};

[[noreturn]] void child(const ChildPlan &p) {
    const int fds[3] = {p.in, p.out, p.err};
    for (int target = 0; target < 3; target++)
        if (fds[target] >= 0 && syscall(SYS_dup3, fds[target], target, 0) < 0) child_fail(p.report);
    if (p.own_group) syscall(SYS_setpgid, 0, 0);
    uint64_t none = 0;
    syscall(SYS_rt_sigprocmask, SIG_SETMASK, &none, nullptr, sizeof none);
    if (p.report > 3) syscall(SYS_close_range, 3, p.report - 1, 0);
    syscall(SYS_close_range, p.report + 1, ~0U, 0);

    if (p.as_user && p.user_switch == UserSwitch::Setresuid) {
        if (syscall(SYS_setgroups, 0, nullptr) < 0 ||
            syscall(SYS_setresgid, NOBODY, NOBODY, NOBODY) < 0 ||
            syscall(SYS_setresuid, NOBODY, NOBODY, NOBODY) < 0)
            child_fail(p.report);
    } else if (p.as_user) {
        // Our uid (0 here) appears as a non-zero uid in a nested namespace.
        if (syscall(SYS_unshare, CLONE_NEWUSER) < 0 ||
            raw_write_file("/proc/self/setgroups", "deny") < 0 ||
            raw_write_file("/proc/self/uid_map", "1000 0 1\n") < 0 ||
            raw_write_file("/proc/self/gid_map", "1000 0 1\n") < 0)
            child_fail(p.report);
    }
    syscall(SYS_execve, p.path, p.argv, p.envp);
    child_fail(p.report);
}

std::vector<char *> c_strings(const std::vector<std::string> &v) {
    std::vector<char *> out;
    for (const auto &s : v) out.push_back(const_cast<char *>(s.c_str()));
    out.push_back(nullptr);
    return out;
}

void drain(int &fd, std::string &into) {
    char buf[4096];
    for (;;) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0) {
            into.append(buf, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
        close(fd);  // end of file, or an error that ends this stream
        fd = -1;
        return;
    }
}

std::vector<pid_t> children_of(pid_t parent) {
    std::vector<pid_t> kids;
    DIR *d = opendir("/proc");
    if (!d) return kids;
    while (dirent *ent = readdir(d)) {
        if (ent->d_name[0] < '0' || ent->d_name[0] > '9') continue;
        std::ifstream stat(std::string("/proc/") + ent->d_name + "/stat");
        std::string line;
        if (!std::getline(stat, line)) continue;
        const size_t close_paren = line.rfind(')');
        if (close_paren == std::string::npos) continue;
        std::istringstream rest(line.substr(close_paren + 1));
        std::string state;
        pid_t ppid = 0;
        rest >> state >> ppid;
        if (ppid == parent) kids.push_back(static_cast<pid_t>(atoi(ent->d_name)));
    }
    closedir(d);
    return kids;
}

double seconds_since(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

}  // namespace

UserSwitch user_switch_for_this_process() {
    std::ifstream map("/proc/self/uid_map");
    long inside = -1, outside = -1, count = -1;
    map >> inside >> outside >> count;
    return inside == 0 && outside == 0 && count == 4294967295L ? UserSwitch::Setresuid
                                                              : UserSwitch::NestedNamespace;
}

std::string resolve_program(const std::string &name, const std::string &path_list) {
    if (name.find('/') != std::string::npos) return name;
    std::istringstream dirs(path_list);
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        const std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return name;
}

Result Processes::run(const Spawn &s) {
    const RunOptions &o = s.options;
    const auto start = Clock::now();
    const auto deadline = start + std::chrono::duration_cast<Clock::duration>(
                                      std::chrono::duration<double>(o.timeout));
    Result r;
    int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1}, report[2];
    if (pipe2(report, O_CLOEXEC) < 0) throw std::runtime_error("pipe failed");
    if (o.capture && (pipe2(in, O_CLOEXEC) < 0 || pipe2(out, O_CLOEXEC) < 0 || pipe2(err, O_CLOEXEC) < 0))
        throw std::runtime_error("pipe failed");

    auto argv = c_strings(s.argv);
    auto envp = c_strings(s.env);
    ChildPlan plan{s.path.c_str(), argv.data(), envp.data()};
    plan.in = in[0];
    plan.out = out[1];
    plan.err = err[1];
    plan.own_group = o.capture;
    plan.as_user = o.as_user;
    plan.user_switch = s.user_switch;
    plan.report = report[1];

    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) child(plan);

    close(report[1]);
    for (int fd : {in[0], out[1], err[1]})
        if (fd >= 0) close(fd);
    int exec_errno = 0;
    if (read(report[0], &exec_errno, sizeof exec_errno) == sizeof exec_errno)
        r.err = std::string("cannot run ") + s.path + ": " + strerror(exec_errno) + "\n";
    close(report[0]);

    if (in[1] >= 0) {
        size_t done = 0;
        while (done < o.input.size()) {
            const ssize_t n = write(in[1], o.input.data() + done, o.input.size() - done);
            if (n <= 0) break;
            done += static_cast<size_t>(n);
        }
        close(in[1]);
    }
    int out_fd = out[0], err_fd = err[0];
    for (int fd : {out_fd, err_fd})
        if (fd >= 0) fcntl(fd, F_SETFL, O_NONBLOCK);

    // Output is complete when every holder of the pipes has closed them (a
    // detached daemon keeps them until it closes 0 to 2).
    std::optional<int> status;
    while (Clock::now() < deadline) {
        if (!status) status = take(pid);
        if (out_fd < 0 && err_fd < 0 && status) break;
        pollfd fds[2];
        nfds_t n = 0;
        for (int fd : {out_fd, err_fd})
            if (fd >= 0) fds[n++] = pollfd{fd, POLLIN, 0};
        if (n == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        else
            poll(fds, n, 20);
        if (out_fd >= 0) drain(out_fd, r.out);
        if (err_fd >= 0) drain(err_fd, r.err);
    }
    if (!status) status = take(pid);
    if (!status || out_fd >= 0 || err_fd >= 0) {
        r.timed_out = true;
        if (!status) {
            kill(o.capture ? -pid : pid, SIGKILL);
            wait_exit(pid, 5);  // keep no zombie; report it as still running
        }
    }
    for (int fd : {out_fd, err_fd})
        if (fd >= 0) close(fd);
    r.status = status.value_or(-1);
    r.seconds = seconds_since(start);
    return r;
}

void Processes::reap() {
    std::lock_guard<std::mutex> lock(m_);
    int st = 0;
    pid_t p;
    while ((p = waitpid(-1, &st, WNOHANG)) > 0) statuses_[p] = decode(st);
}

std::optional<int> Processes::take(pid_t pid) {
    reap();
    std::lock_guard<std::mutex> lock(m_);
    auto it = statuses_.find(pid);
    if (it == statuses_.end()) return std::nullopt;
    const int st = it->second;
    statuses_.erase(it);
    return st;
}

std::optional<int> Processes::wait_exit(pid_t pid, double timeout) {
    const auto start = Clock::now();
    for (;;) {
        if (auto st = take(pid)) return st;
        if (seconds_since(start) >= timeout) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

void Processes::kill_all() {
    for (int round = 0; round < 200; round++) {
        reap();
        const auto kids = children_of(getpid());
        if (kids.empty()) return;
        for (pid_t k : kids) kill(k, SIGKILL);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

}  // namespace sim

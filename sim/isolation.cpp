// SPDX-License-Identifier: GPL-2.0-or-later
#include "sim/isolation.hpp"

#include <fcntl.h>
#include <sched.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>

#include "sim/world.hpp"

namespace fs = std::filesystem;

namespace sim {

namespace {

void must(int rc, const std::string &what) {
    if (rc != 0) throw std::runtime_error(what + ": " + strerror(errno));
}

void make_dir(const std::string &path) {
    fs::create_directories(path);
    chmod(path.c_str(), 0755);
}

}  // namespace

Mounts::Mounts(const std::string &scratch) : scratch_(scratch) {
    make_dir(scratch_);
    const std::pair<const char *, const char *> binds[] = {
        {"opt", "/opt"},
        {"log", "/var/log"},
        {"run", "/run"},
        {"systemd-system", "/etc/systemd/system"},
        {"systemd-lib", "/lib/systemd/system"},
    };
    for (const auto &[name, target] : binds) {
        make_dir(scratch_ + "/" + name);
        bind_over(scratch_ + "/" + name, target);
    }
    // Debian has /var/run as a link to /run; a system where it is a folder
    // gets the same scratch folder there.
    std::error_code ec;
    if (!fs::is_symlink("/var/run", ec) && fs::is_directory("/var/run", ec))
        bind_over(scratch_ + "/run", "/var/run");
}

Mounts::~Mounts() {
    for (auto it = mounted_.rbegin(); it != mounted_.rend(); ++it) umount2(it->c_str(), MNT_DETACH);
}

void Mounts::bind_over(const std::string &source, const std::string &target) {
    std::error_code ec;
    if (!fs::is_directory(target, ec)) {
        fs::path existing = target;
        while (!fs::exists(existing, ec)) existing = existing.parent_path();
        if (existing == "/") throw std::runtime_error("cannot place " + target + " in the world");
        mirror(existing.string());
        fs::create_directories(target);
    }
    must(mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr), "bind " + target);
    mounted_.push_back(target);
}

void Mounts::bind_file(const std::string &source, const std::string &target) {
    must(mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr), "bind " + target);
    mounted_.push_back(target);
}

// Makes `dir` writable without touching the real one: a tmpfs over it that
// shows the original entries again through binds and links.
void Mounts::mirror(const std::string &dir) {
    const std::string original = scratch_ + "/mirror-" + std::to_string(mirrors_++);
    make_dir(original);
    must(mount(dir.c_str(), original.c_str(), nullptr, MS_BIND | MS_REC, nullptr), "bind " + dir);
    mounted_.push_back(original);
    must(mount("tmpfs", dir.c_str(), "tmpfs", 0, "mode=0755"), "tmpfs on " + dir);
    mounted_.push_back(dir);
    for (const auto &entry : fs::directory_iterator(original)) {
        const std::string name = entry.path().filename();
        const std::string place = dir + "/" + name;
        if (entry.is_symlink()) {
            fs::create_symlink(fs::read_symlink(entry.path()), place);
            continue;
        }
        if (entry.is_directory())
            fs::create_directory(place);
        else
            std::ofstream(place).close();
        must(mount(entry.path().c_str(), place.c_str(), nullptr, MS_BIND | MS_REC, nullptr),
             "bind " + place);
    }
}

}  // namespace sim

// ------------------------------------------------------------ the process

namespace sim {

namespace {

const char WORLD_MARK[] = "BEXO_SIM_WORLD";
const char OUTER_NAMESPACE[] = "BEXO_SIM_OUTER_MNT_FD";
const char PRELOAD[] = "libumockdev-preload.so.0";

// The preload list without umockdev (a world started inside another world
// brings its own).
std::string other_preloads() {
    const char *old = getenv("LD_PRELOAD");
    std::string kept;
    std::istringstream entries(old ? old : "");
    std::string entry;
    while (std::getline(entries, entry, ':')) {
        if (entry.empty() || entry.find("libumockdev-preload") != std::string::npos) continue;
        kept += ":" + entry;
    }
    return kept;
}

std::string write_proc(const char *path, const std::string &text) {
    std::ofstream out(path);
    out << text;
    out.close();
    return out ? "" : std::string("cannot write ") + path + ": " + strerror(errno);
}

}  // namespace

bool in_world_process() {
    const char *mark = getenv(WORLD_MARK);
    const char *preload = getenv("LD_PRELOAD");
    return mark && strcmp(mark, "1") == 0 && preload && strstr(preload, PRELOAD);
}

std::string enter_world_process(char **argv) {
    if (in_world_process()) return "";
    const uid_t uid = geteuid();
    const gid_t gid = getegid();
    // Kept open across exec, so exists_outside can look at the real system.
    const int outer = open("/proc/self/ns/mnt", O_RDONLY);
    if (uid == 0) {
        if (unshare(CLONE_NEWNS) != 0) return std::string("unshare(CLONE_NEWNS): ") + strerror(errno);
    } else {
        // A normal user becomes root of a user namespace of its own.
        if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0)
            return std::string("unshare(CLONE_NEWUSER | CLONE_NEWNS): ") + strerror(errno) +
                   " (are unprivileged user namespaces allowed?)";
        for (const auto &problem :
             {write_proc("/proc/self/setgroups", "deny"),
              write_proc("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1\n"),
              write_proc("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1\n")})
            if (!problem.empty()) return problem;
    }
    // Nothing mounted from now on may show outside.
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return std::string("making / private: ") + strerror(errno);
    setenv("LD_PRELOAD", (PRELOAD + other_preloads()).c_str(), 1);
    unsetenv("UMOCKDEV_DIR");
    setenv(WORLD_MARK, "1", 1);
    if (outer >= 0) setenv(OUTER_NAMESPACE, std::to_string(outer).c_str(), 1);
    execv("/proc/self/exe", argv);
    return std::string("re-executing /proc/self/exe: ") + strerror(errno);
}

std::optional<bool> exists_outside(const std::string &path) {
    const char *fd_text = getenv(OUTER_NAMESPACE);
    if (!fd_text) return std::nullopt;
    const int fd = atoi(fd_text);
    const pid_t pid = fork();
    if (pid < 0) return std::nullopt;
    if (pid == 0) {
        // Raw calls only: this process may have other threads.
        if (syscall(SYS_setns, fd, CLONE_NEWNS) != 0) syscall(SYS_exit_group, 2);
        syscall(SYS_exit_group, syscall(SYS_faccessat, AT_FDCWD, path.c_str(), F_OK) == 0 ? 0 : 1);
    }
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) == 2)
        return std::nullopt;
    return WEXITSTATUS(status) == 0;
}

}  // namespace sim

// SPDX-License-Identifier: GPL-2.0-or-later
#include "sim/world.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <semaphore.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "sim/bus.hpp"
#include "sim/gpio_fs.hpp"
#include "sim/isolation.hpp"
#include "sim/process.hpp"
#include "sim/recorder.hpp"
#include "sim/shim_protocol.hpp"
#include "sim/shim_server.hpp"
#include "sim/syslog_sink.hpp"

extern char **environ;

namespace fs = std::filesystem;

namespace sim {

namespace {

using Clock = std::chrono::steady_clock;

const char UMOCKDEV_PRELOAD[] = "libumockdev-preload.so.0";
const char FAKETIME_LIBRARY[] = "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1";
const char SYSTEM_PATH[] = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";
const char CONFIG_PATH[] = "/opt/bexod/bexo.cfg";
const char LOG_PATH[] = "/var/log/bexod.log";
const char PID_PATH[] = "/run/bexod.pid";
const char *const SHIM_NAMES[] = {"sudo", "systemctl", "python", "python3", "sim-mark"};

// Runs actions at given times on a thread of its own.
class Scheduler {
public:
    Scheduler() : thread_([this] { loop(); }) {}
    ~Scheduler() {
        {
            std::lock_guard l(m_);
            stop_ = true;
        }
        cv_.notify_all();
        thread_.join();
    }

    void after(double seconds, std::function<void()> action) {
        {
            std::lock_guard l(m_);
            queue_.emplace(Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                              std::chrono::duration<double>(seconds)),
                           std::move(action));
        }
        cv_.notify_all();
    }

private:
    void loop() {
        std::unique_lock l(m_);
        while (!stop_) {
            if (queue_.empty()) {
                cv_.wait(l);
            } else if (queue_.begin()->first <= Clock::now()) {
                auto action = std::move(queue_.begin()->second);
                queue_.erase(queue_.begin());
                l.unlock();
                action();
                l.lock();
            } else {
                cv_.wait_until(l, queue_.begin()->first);
            }
        }
    }

    std::mutex m_;
    std::condition_variable cv_;
    std::multimap<Clock::time_point, std::function<void()>> queue_;
    bool stop_ = false;
    std::thread thread_;
};

bool starts_with(const std::string &s, const std::string &prefix) { return s.rfind(prefix, 0) == 0; }

const char SCRATCH_PREFIX[] = "bexo-world.";
const char TESTBED_NOTE[] = "/testbed";

// Folders of worlds whose process has died without its teardown (killed by
// a time-out, say), with their umockdev testbeds. The folder name carries
// the owner's process id.
void remove_stale_worlds() {
    std::error_code ec;
    for (const auto &entry : fs::directory_iterator("/tmp", ec)) {
        const std::string name = entry.path().filename();
        if (!starts_with(name, SCRATCH_PREFIX)) continue;
        const long owner = atol(name.c_str() + strlen(SCRATCH_PREFIX));
        if (owner <= 0 || kill(static_cast<pid_t>(owner), 0) == 0 || errno != ESRCH) continue;
        std::ifstream note(entry.path().string() + TESTBED_NOTE);
        std::string testbed;
        if (std::getline(note, testbed) && starts_with(testbed, "/tmp/umockdev.")) fs::remove_all(testbed, ec);
        fs::remove_all(entry.path(), ec);
    }
}

// The world's scratch folder, removed when the world ends.
struct Scratch {
    std::string path;
    Scratch() {
        remove_stale_worlds();
        std::string name = "/tmp/" + std::string(SCRATCH_PREFIX) + std::to_string(getpid()) + ".XXXXXX";
        if (!mkdtemp(name.data())) throw std::runtime_error("mkdtemp failed");
        path = name;
        chmod(path.c_str(), 0755);
    }
    ~Scratch() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
};

// libfaketime keeps one clock for a process and its children in a semaphore
// and a shared-memory object named after the process that made them, and
// removes both when that process exits. In a world that breaks twice: the
// daemon outlives the process that made them, and processes that exec or are
// killed leave their names behind, so a later process given the same id
// cannot make its own and exits with status 1 before doing anything. So the
// world makes the pair itself, hands its names to the whole process tree of a
// run, and removes them when it ends.
class SharedClocks {
public:
    ~SharedClocks() {
        for (const auto &[sem, shm] : made_) {
            sem_unlink(sem.c_str());
            shm_unlink(shm.c_str());
        }
    }

    // The FAKETIME_SHARED value for a new clock that starts now at FAKETIME.
    std::string make(const std::string &faketime) {
        for (int attempt = 0; attempt < 50; attempt++) {
            const std::string names = names_from_a_clock_maker(faketime);
            char sem[256];
            char shm[256];
            if (sscanf(names.c_str(), "%255s %255s", sem, shm) != 2) continue;
            // Runs as another user share the clock too.
            chmod(("/dev/shm/sem." + std::string(sem + 1)).c_str(), 0666);
            chmod(("/dev/shm" + std::string(shm)).c_str(), 0666);
            std::lock_guard l(m_);
            made_.emplace_back(sem, shm);
            return std::string(sem) + " " + shm;
        }
        throw std::runtime_error("libfaketime made no shared clock for '" + faketime + "'");
    }

private:
    // A shell under libfaketime makes the pair as it starts; exec'ing
    // printenv reports the names without the shell's exit removing them.
    static std::string names_from_a_clock_maker(const std::string &faketime) {
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) return "";
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        const std::string preload = std::string("LD_PRELOAD=") + FAKETIME_LIBRARY;
        const std::string clock = "FAKETIME=" + faketime;
        const std::string path = std::string("PATH=") + SYSTEM_PATH;
        char *const env[] = {const_cast<char *>(preload.c_str()), const_cast<char *>(clock.c_str()),
                             const_cast<char *>(path.c_str()), nullptr};
        char *const argv[] = {const_cast<char *>("sh"), const_cast<char *>("-c"),
                              const_cast<char *>("exec printenv FAKETIME_SHARED"), nullptr};
        pid_t pid = -1;
        const int spawned = posix_spawn(&pid, "/bin/sh", &actions, nullptr, argv, env);
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        std::string names;
        char buf[256];
        ssize_t got;
        while ((got = read(out[0], buf, sizeof buf)) > 0 || (got < 0 && errno == EINTR))
            if (got > 0) names.append(buf, static_cast<size_t>(got));
        close(out[0]);
        int status = 0;
        if (spawned == 0)
            while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
        if (spawned != 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return "";
        return names;
    }

    std::mutex m_;
    std::vector<std::pair<std::string, std::string>> made_;
};

// The process id in the daemon's PID file, 0 when there is none.
pid_t recorded_daemon_pid() {
    std::ifstream in(PID_PATH);
    long pid = 0;
    if (!(in >> pid) || pid <= 0) return 0;
    return static_cast<pid_t>(pid);
}

}  // namespace

struct World::Impl {
    Options options;
    Recorder rec;
    Board board;
    Processes processes;
    UserSwitch user_switch = user_switch_for_this_process();
    Scratch scratch;
    SharedClocks clocks;
    std::unique_ptr<Mounts> mounts;
    std::unique_ptr<Bus> bus;
    std::unique_ptr<GpioFs> gpio;
    std::unique_ptr<ShimServer> shims;
    std::unique_ptr<SyslogSink> syslog;
    std::unique_ptr<Scheduler> scheduler;

    std::mutex shim_m;
    bool sigterm_on_poweroff = false;
    double sigterm_delay = 0.5;
    std::map<std::string, int> shim_status;

    std::string bin() const { return scratch.path + "/bin"; }
    std::string socket_path() const { return scratch.path + "/shim.sock"; }

    void install_programs();
    void install_wrapped(const std::string &name, const std::string &programs,
                         const std::string &wrap);
    int handle_shim(Event e);
    void sigterm_daemon();
    bool send_signal(pid_t pid, int sig);
    std::vector<std::string> environment(const RunOptions &o);
};

// Copies, not links: a non-root run must reach them even when the build
// tree lies in a folder only root may enter.
void World::Impl::install_programs() {
    fs::create_directories(bin());
    chmod(bin().c_str(), 0755);
    const std::string shim = bin() + "/sim-shim";
    fs::copy_file(BEXO_SIM_SHIM_PATH, shim);
    for (const char *name : SHIM_NAMES) fs::create_symlink(shim, bin() + "/" + name);
    const std::string wrap = wrapper();
    const std::string programs = wrap.empty() ? bin() : scratch.path + "/programs";
    fs::create_directories(programs);
    chmod(programs.c_str(), 0755);
    std::error_code missing;  // a build without the programs still gets a world
    fs::copy_file(bexo_path(), programs + "/bexo", missing);
    fs::copy_file(bexod_path(), programs + "/bexod", missing);
    if (!wrap.empty())
        for (const char *name : {"bexo", "bexod"}) install_wrapped(name, programs, wrap);
    for (const char *dir : {"/opt/bexod/start", "/opt/bexod/scripts", "/opt/bexod/tools"}) {
        fs::create_directories(dir);
        chmod(dir, 0755);
    }
    chmod("/opt/bexod", 0755);
    fs::create_symlink(shim, "/opt/bexod/tools/twiboot");
}

// The wrapper finds the program by name in the folder of the copies, so
// argv[0] stays the name a shell would pass.
void World::Impl::install_wrapped(const std::string &name, const std::string &programs,
                                  const std::string &wrap) {
    const std::string script = bin() + "/" + name;
    write_file(script, "#!/bin/sh\nPATH=" + programs + ":\"$PATH\" exec " + wrap + " " + name +
                           " \"$@\"\n");
    chmod(script.c_str(), 0755);
}

int World::Impl::handle_shim(Event e) {
    bool power = false;
    if (e.text == "systemctl")
        for (const auto &a : e.args) power = power || a == "poweroff" || a == "reboot";
    const std::string name = e.text;
    rec.add(std::move(e));
    std::lock_guard l(shim_m);
    if (power && sigterm_on_poweroff) scheduler->after(sigterm_delay, [this] { sigterm_daemon(); });
    auto it = shim_status.find(name);
    return it == shim_status.end() ? 0 : it->second;
}

// What a real shutdown does to the daemon.
void World::Impl::sigterm_daemon() {
    const pid_t pid = recorded_daemon_pid();
    if (pid == 0) {
        Event e;
        e.text = "poweroff: no process id in /run/bexod.pid to send SIGTERM to";
        rec.add(e);
        return;
    }
    send_signal(pid, SIGTERM);
}

// The signal is recorded under the record's lock, before anything it sets
// off in another thread of the world.
bool World::Impl::send_signal(pid_t pid, int sig) {
    Event e;
    e.kind = Kind::Signal;
    e.text = sigabbrev_np(sig) ? std::string("SIG") + sigabbrev_np(sig) : std::to_string(sig);
    e.pid = pid;
    bool sent = false;
    rec.add_around(e, [&](Event &signal) {
        signal.result = kill(pid, sig);
        signal.err = signal.result ? errno : 0;
        sent = signal.result == 0;
    });
    return sent;
}

std::vector<std::string> World::Impl::environment(const RunOptions &o) {
    std::vector<std::string> env;
    for (char **p = environ; *p; p++) {
        const std::string entry = *p;
        const std::string name = entry.substr(0, entry.find('='));
        if (name == "LD_PRELOAD" || name == "UMOCKDEV_DIR" || name == "PATH" ||
            starts_with(name, "BEXO_SIM_") || starts_with(name, "FAKETIME"))
            continue;
        env.push_back(entry);
    }
    std::string preload = UMOCKDEV_PRELOAD;
    if (!o.faketime.empty()) {
        preload += std::string(":") + FAKETIME_LIBRARY;
        env.push_back("FAKETIME=" + o.faketime);
        env.push_back("FAKETIME_SHARED=" + clocks.make(o.faketime));
        env.push_back("NO_FAKE_STAT=1");  // leave file times to umockdev's stat
        // An ASan allocator that reads the clock while it holds its lock
        // deadlocks in libfaketime's first clock_gettime (which allocates).
        const std::string keep_memory = "allocator_release_to_os_interval_ms=-1";
        auto asan = std::find_if(env.begin(), env.end(), [](const std::string &e) {
            return starts_with(e, "ASAN_OPTIONS=");
        });
        if (asan == env.end())
            env.push_back("ASAN_OPTIONS=" + keep_memory);
        else
            *asan += ":" + keep_memory;
    }
    env.push_back("LD_PRELOAD=" + preload);
    env.push_back("UMOCKDEV_DIR=" + bus->root());
    env.push_back("PATH=" + bin() + ":" + SYSTEM_PATH);
    env.push_back(std::string(SHIM_SOCKET_ENV) + "=" + socket_path());
    for (const auto &extra : o.env) {
        const std::string prefix = extra.substr(0, extra.find('=') + 1);
        std::erase_if(env, [&](const std::string &e) { return starts_with(e, prefix); });
        env.push_back(extra);
    }
    return env;
}

World::World(Options options) : impl_(std::make_unique<Impl>()) {
    if (!in_world_process())
        throw std::runtime_error("sim::World needs enter_world_process() first (link bexo_sim_main)");
    Impl &w = *impl_;
    w.options = options;
    w.sigterm_on_poweroff = options.sigterm_on_poweroff;
    w.sigterm_delay = options.sigterm_delay;
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    w.mounts = std::make_unique<Mounts>(w.scratch.path + "/root");
    w.bus = std::make_unique<Bus>(w.rec, w.board, options);
    write_file(w.scratch.path + TESTBED_NOTE, w.bus->root() + "\n");
    set_cpuinfo(options.cpuinfo);
    if (options.device_tree_model) set_device_tree_model(*options.device_tree_model);
    const std::string gpio_dir = w.bus->root() + "/sys/class/gpio";
    fs::create_directories(gpio_dir);
    w.gpio = std::make_unique<GpioFs>(w.rec, w.board, options.gpio_base, options.gpio_edge, gpio_dir);
    w.install_programs();
    w.syslog = std::make_unique<SyslogSink>(w.bus->root() + "/dev/log", options.stream_syslog);
    w.scheduler = std::make_unique<Scheduler>();
    w.shims = std::make_unique<ShimServer>(w.socket_path(), [&w](Event e) { return w.handle_shim(std::move(e)); });
}

World::~World() {
    Impl &w = *impl_;
    w.processes.kill_all();
    w.shims.reset();
    w.syslog.reset();
    w.scheduler.reset();
    w.gpio.reset();
    w.bus.reset();
    w.mounts.reset();
}

Board &World::board() { return impl_->board; }
double World::now() const { return impl_->rec.now(); }

// ------------------------------------------------------------- programs

Result World::run(const std::vector<std::string> &argv, const RunOptions &options) {
    if (argv.empty()) throw std::invalid_argument("World::run: empty command");
    Spawn s;
    s.argv = argv;
    s.env = impl_->environment(options);
    s.path = resolve_program(argv[0], impl_->bin() + ":" + SYSTEM_PATH);
    s.options = options;
    s.options.timeout = scaled(options.timeout);
    s.user_switch = impl_->user_switch;
    return impl_->processes.run(s);
}

Result World::bexo(const std::vector<std::string> &args, const RunOptions &options) {
    std::vector<std::string> argv{"bexo"};
    argv.insert(argv.end(), args.begin(), args.end());
    return run(argv, options);
}

Result World::bexod(const std::vector<std::string> &args, const RunOptions &options) {
    std::vector<std::string> argv{"bexod"};
    argv.insert(argv.end(), args.begin(), args.end());
    return run(argv, options);
}

pid_t World::daemon_pid() const { return recorded_daemon_pid(); }

std::optional<int> World::wait_exit(pid_t pid, double timeout) {
    return impl_->processes.wait_exit(pid, scaled(timeout));
}

bool World::send_signal(pid_t pid, int sig) { return pid > 0 && impl_->send_signal(pid, sig); }

bool World::signal_daemon(int sig) { return send_signal(daemon_pid(), sig); }

// ------------------------------------------------------------- records

Events World::events(size_t from) const {
    Events all = impl_->rec.snapshot();
    all.erase(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(std::min(from, all.size())));
    return all;
}
size_t World::event_count() const { return impl_->rec.size(); }

void World::note(const std::string &text) {
    Event e;
    e.text = text;
    impl_->rec.add(e);
}

Events World::board_writes(size_t from) const { return only(events(from), is_board_write); }

std::vector<Bytes> World::requests(size_t from) const { return requests_in(events(from)); }

Bytes World::commands(size_t from) const { return commands_in(events(from)); }

Events World::shim_calls(const std::string &name, size_t from) const {
    return only(events(from), [&](const Event &e) { return e.kind == Kind::Shim && (name.empty() || e.text == name); });
}

Events World::gpio_events(size_t from) const { return only(events(from), is_gpio); }

std::vector<std::string> World::syslog() const { return impl_->syslog->messages(); }

int free_loopback_port() {
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    const bool ok = s >= 0 && bind(s, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
                    getsockname(s, reinterpret_cast<sockaddr *>(&address), &length) == 0;
    if (s >= 0) close(s);
    return ok ? ntohs(address.sin_port) : 0;
}

// ------------------------------------------------------------- waiting

bool World::wait_for(const std::function<bool()> &condition, double timeout) {
    const auto start = Clock::now();
    const double limit = scaled(timeout);
    for (;;) {
        if (condition()) return true;
        if (std::chrono::duration<double>(Clock::now() - start).count() >= limit) return false;
        impl_->processes.reap();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

std::optional<Event> World::wait_for_event(const std::function<bool(const Event &)> &match,
                                           double timeout, size_t from) {
    std::optional<Event> found;
    wait_for([&] {
        for (const Event &e : events(from))
            if (match(e)) {
                found = e;
                return true;
            }
        return false;
    }, timeout);
    return found;
}

bool World::wait_for_log(const std::string &text, double timeout) {
    return wait_for([&] { return log().find(text) != std::string::npos; }, timeout);
}

std::optional<Event> World::wait_for_shim(const std::string &name, double timeout,
                                          const std::string &first_arg, size_t from) {
    return wait_for_event([&](const Event &e) {
        return e.kind == Kind::Shim && e.text == name &&
               (first_arg.empty() || (!e.args.empty() && e.args[0] == first_arg));
    }, timeout, from);
}

// ------------------------------------------------------------- files

std::string World::read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void World::write_file(const std::string &path, const std::string &text) {
    const fs::path p(path);
    if (p.has_parent_path()) fs::create_directories(p.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out) throw std::runtime_error("cannot write " + path);
}

bool World::exists(const std::string &path) {
    std::error_code ec;
    return fs::exists(path, ec);
}

void World::set_config(const std::string &text) { write_file(CONFIG_PATH, text); }
std::string World::config() const { return read_file(CONFIG_PATH); }
std::string World::log() const { return read_file(LOG_PATH); }

// Rewritten in place, so that a file bound once shows every version.
void World::set_accounts(const std::string &passwd, const std::string &group) {
    for (const auto &[text, target] : {std::pair{passwd, "/etc/passwd"}, std::pair{group, "/etc/group"}}) {
        const std::string copy = impl_->scratch.path + target;
        const bool bound = exists(copy);
        write_file(copy, text);
        chmod(copy.c_str(), 0644);
        if (!bound) impl_->mounts->bind_file(copy, target);
    }
}

void World::set_cpuinfo(const std::string &text) { write_file(impl_->bus->root() + "/proc/cpuinfo", text); }

void World::set_device_tree_model(const std::string &model) {
    write_file(impl_->bus->root() + "/proc/device-tree/model", model + std::string(1, '\0'));
}

// ------------------------------------------------------------- GPIO

int World::gpio_number(int chip_line) const { return impl_->options.gpio_base + chip_line; }

World::GpioLine World::gpio(int chip_line) const { return impl_->gpio->line(gpio_number(chip_line)); }

void World::hide_gpio_value(double seconds) { impl_->gpio->hide_value_until(now() + seconds); }

void World::spike_gpio_line() { impl_->gpio->spike_line(); }

// ------------------------------------------------------------- shims

void World::sigterm_on_poweroff(bool on, double delay) {
    std::lock_guard l(impl_->shim_m);
    impl_->sigterm_on_poweroff = on;
    impl_->sigterm_delay = delay;
}

void World::set_shim_status(const std::string &name, int status) {
    std::lock_guard l(impl_->shim_m);
    impl_->shim_status[name] = status;
}

void World::after(double seconds, std::function<void()> action) {
    impl_->scheduler->after(seconds, std::move(action));
}

std::string World::testbed_root() const { return impl_->bus->root(); }
std::string World::bin_dir() const { return impl_->bin(); }

namespace {

std::string from_environment(const char *name, const char *otherwise) {
    const char *value = getenv(name);
    return value && *value ? value : otherwise;
}

std::vector<std::string> command_line(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary);
    std::vector<std::string> words;
    for (std::string word; std::getline(in, word, '\0');) words.push_back(word);
    return words;
}

}  // namespace

std::string bexo_path() { return from_environment("BEXO_SIM_BEXO", BEXO_SIM_BEXO_PATH); }
std::string bexod_path() { return from_environment("BEXO_SIM_BEXOD", BEXO_SIM_BEXOD_PATH); }

std::string wrapper() { return from_environment("BEXO_SIM_WRAPPER", ""); }

double time_scale() {
    const std::string text = from_environment("BEXO_SIM_TIME_SCALE", "");
    const double factor = text.empty() ? 0 : atof(text.c_str());
    if (factor > 0) return factor;
    return wrapper().empty() ? 1 : 5;
}

double scaled(double seconds) { return seconds * time_scale(); }

bool is_program(pid_t pid, const std::string &name) {
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string command;
    if (pid <= 0 || !std::getline(comm, command)) return false;
    if (command == name) return true;
    if (wrapper().empty()) return false;
    for (const std::string &word : command_line(pid))
        if (word == name || (word.size() > name.size() && word.ends_with("/" + name))) return true;
    return false;
}

}  // namespace sim

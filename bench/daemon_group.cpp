// Daemon idle cost: bexod in the simulated world with sleep=1, beside the
// monitors a user would otherwise run (NUT's upsmon with upsd and the
// dummy-ups driver, and apcupsd), all watched over the same wall time.
//
// Two phases with the same windows: the programs as they are, measured from
// /proc (CPU time, context switches, peak memory), then the same programs
// under callgrind for their instruction counts.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/groups.hpp"
#include "bench/lib/callgrind.hpp"
#include "bench/lib/estimates.hpp"
#include "bench/lib/procstat.hpp"
#include "bench/lib/spawn.hpp"

namespace bench {

namespace {

namespace fs = std::filesystem;

const char *const kOurs = "bexod (ours, in the world)";
const char *const kUpsmon = "NUT upsmon";
const char *const kNut = "NUT upsd+dummy-ups+upsmon";
const char *const kApcupsd = "apcupsd (dumb UPS, pty)";
const char *const kFloor = "floor: sysfs read + 1 s pause";

// Which started programs make up each row.
const std::vector<std::pair<std::string, std::vector<std::string>>> kSubjects = {
    {kOurs, {"bexod"}},
    {kUpsmon, {"upsmon"}},
    {kNut, {"dummy-ups", "upsd", "upsmon"}},
    {kApcupsd, {"apcupsd"}},
    {kFloor, {"idle-loop"}},
};

void write_file(const std::string &path, const std::string &text, mode_t mode = 0644) {
    std::ofstream out(path, std::ios::trunc);
    out << text;
    out.close();
    if (!out) throw std::runtime_error("cannot write " + path);
    chmod(path.c_str(), mode);
}

int free_loopback_port() {
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (s < 0 || bind(s, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr *>(&address), &length) != 0)
        throw std::runtime_error("no free loopback port");
    close(s);
    return ntohs(address.sin_port);
}

bool port_listening(int port) {
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = connect(s, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    close(s);
    return ok;
}

bool wait_until(const std::function<bool()> &condition, double timeout) {
    const double end = monotonic_seconds() + timeout;
    while (!condition()) {
        if (monotonic_seconds() > end) return false;
        sleep_seconds(0.1);
    }
    return true;
}

double wall_clock_seconds() {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

// Everything one phase starts, stopped in reverse order when it ends.
class Lineup {
public:
    Lineup(const Settings &settings, const std::string &dir, bool callgrind)
        : settings_(settings), dir_(dir), callgrind_(callgrind) {
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    ~Lineup() { stop(); }

    void start_ours();
    void start_nut();
    void start_apcupsd();
    void start_floor();

    std::map<std::string, pid_t> roots;  // tag -> first process
    const std::string &dir() const { return dir_; }

    // The daemon's cycle count so far, from the world's record of GPIO reads.
    long ours_cycles();
    void stop();

private:
    std::vector<std::string> wrapped(const std::string &tag, std::vector<std::string> argv) const;
    Child &launch(const std::string &tag, const std::vector<std::string> &argv,
                  const SpawnOptions &options, bool talk = false);

    const Settings &settings_;
    std::string dir_;
    bool callgrind_;
    std::vector<std::pair<std::string, std::unique_ptr<Child>>> children_;
    Child *world_ = nullptr;
    int pty_ = -1;
};

std::vector<std::string> Lineup::wrapped(const std::string &tag, std::vector<std::string> argv) const {
    if (!callgrind_) return argv;
    std::vector<std::string> full = {"valgrind", "--tool=callgrind",
                                     "--callgrind-out-file=" + dir_ + "/" + tag + ".%p",
                                     "--log-file=" + dir_ + "/valgrind-" + tag + ".%p.log"};
    full.insert(full.end(), argv.begin(), argv.end());
    return full;
}

Child &Lineup::launch(const std::string &tag, const std::vector<std::string> &argv,
                      const SpawnOptions &options, bool talk) {
    children_.emplace_back(tag, std::make_unique<Child>(argv, options, dir_ + "/" + tag + ".log", talk));
    roots[tag] = children_.back().second->pid();
    return *children_.back().second;
}

void Lineup::start_ours() {
    std::vector<std::string> argv = {settings_.bin_dir + "/bexo-bench-world", "daemon", settings_.config};
    if (callgrind_) argv.push_back(dir_);
    Child &world = launch("world", argv, {}, true);
    world_ = &world;
    const auto line = world.line(180);
    if (!line || line->rfind("pid ", 0) != 0)
        throw std::runtime_error("bexod did not start in the world; see " + dir_ + "/world.log");
    roots["bexod"] = static_cast<pid_t>(atol(line->c_str() + 4));
}

long Lineup::ours_cycles() {
    world_->send("count\n");
    const auto line = world_->line(30);
    if (!line || line->rfind("count ", 0) != 0) throw std::runtime_error("the world stopped answering");
    return atol(line->c_str() + 6);
}

// NUT in a private configuration: the dummy-ups driver on a .dev file, upsd
// on a free loopback port, upsmon watching it as the primary. Everything runs
// as root, so no "nut" user is needed.
void Lineup::start_nut() {
    const std::string conf = dir_ + "/nut-conf", state = dir_ + "/nut-state";
    fs::create_directories(conf);
    fs::create_directories(state);
    const int port = free_loopback_port();
    write_file(conf + "/nut.conf", "MODE=standalone\n");
    write_file(conf + "/ups.conf", "[bench]\n  driver = dummy-ups\n  port = bench.dev\n  desc = \"idle UPS\"\n");
    write_file(conf + "/bench.dev", "ups.status: OL\nbattery.charge: 100\nbattery.runtime: 3600\ninput.voltage: 230.0\n");
    write_file(conf + "/upsd.conf", "LISTEN 127.0.0.1 " + std::to_string(port) + "\n", 0600);
    write_file(conf + "/upsd.users", "[bench]\n  password = bench\n  upsmon primary\n", 0600);
    write_file(conf + "/upsmon.conf",
               "MONITOR bench@127.0.0.1:" + std::to_string(port) + " 1 bench bench primary\n"
               "MINSUPPLIES 1\nSHUTDOWNCMD \"/bin/true\"\nPOWERDOWNFLAG " + state + "/killpower\n"
               "RUN_AS_USER root\n", 0600);
    SpawnOptions env;
    env.set_env = {"NUT_CONFPATH=" + conf, "NUT_STATEPATH=" + state, "NUT_ALTPIDPATH=" + state};
    const std::string nut = settings_.peers_root + "/lib/nut/";
    const double patience = callgrind_ ? 120 : 30;
    launch("dummy-ups", wrapped("dummy-ups", {nut + "dummy-ups", "-a", "bench", "-u", "root", "-F"}), env);
    if (!wait_until([&] { return fs::exists(state + "/dummy-ups-bench"); }, patience))
        throw std::runtime_error("NUT's dummy-ups did not start; see " + dir_ + "/dummy-ups.log");
    launch("upsd", wrapped("upsd", {nut + "upsd", "-u", "root", "-F"}), env);
    if (!wait_until([&] { return port_listening(port); }, patience))
        throw std::runtime_error("NUT's upsd did not start; see " + dir_ + "/upsd.log");
    // Under callgrind upsmon runs as one process (-p): the forked child that
    // polls in its default split would be out of callgrind_control's reach.
    // The privileged parent of the split only waits on a pipe while idle.
    std::vector<std::string> upsmon = {nut + "upsmon", "-F"};
    if (callgrind_) upsmon.push_back("-p");
    launch("upsmon", wrapped("upsmon", upsmon), env);
}

// apcupsd for a simple-signalling ("dumb") UPS, which it watches through the
// modem-control lines of a serial port: a pseudo-terminal stands in for the
// port. Its line query fails there, so it never sees an event and keeps its
// plain poll cycle. Its network server listens on a free loopback port.
void Lineup::start_apcupsd() {
    const std::string home = dir_ + "/apcupsd";
    fs::create_directories(home + "/scripts");
    write_file(home + "/scripts/apccontrol", "#!/bin/sh\nexit 0\n", 0755);
    pty_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (pty_ < 0 || grantpt(pty_) != 0 || unlockpt(pty_) != 0)
        throw std::runtime_error("no pseudo-terminal for apcupsd");
    const std::string tty = ptsname(pty_);
    write_file(home + "/apcupsd.conf",
               "## apcupsd.conf v1.1 ##\nUPSNAME bench\nUPSCABLE simple\nUPSTYPE dumb\nDEVICE " + tty +
                   "\nLOCKFILE " + home + "\nSCRIPTDIR " + home + "/scripts\nPWRFAILDIR " + home +
                   "\nNOLOGINDIR " + home +
                   "\nONBATTERYDELAY 6\nBATTERYLEVEL 5\nMINUTES 3\nTIMEOUT 0\nANNOY 300\n"
                   "ANNOYDELAY 60\nNOLOGON disable\nKILLDELAY 0\nNETSERVER on\nNISIP 127.0.0.1\n"
                   "NISPORT " + std::to_string(free_loopback_port()) + "\nEVENTSFILE " + home +
                   "/events\nEVENTSFILEMAX 10\nUPSCLASS standalone\nUPSMODE disable\nSTATTIME 0\n"
                   "STATFILE " + home + "/status\nLOGSTATS off\nDATATIME 0\n");
    launch("apcupsd", wrapped("apcupsd", {settings_.peers_root + "/sbin/apcupsd", "-b", "-f",
                                          home + "/apcupsd.conf", "-P", home + "/apcupsd.pid"}),
           {});
}

void Lineup::start_floor() {
    launch("idle-loop", wrapped("idle-loop", {settings_.bin_dir + "/idle-loop", "/sys/devices/system/cpu/online"}), {});
}

void Lineup::stop() {
    if (world_ != nullptr) {
        world_->send("stop\n");
        world_->line(60);
        world_ = nullptr;
    }
    for (auto it = children_.rbegin(); it != children_.rend(); ++it) {
        Child &child = *it->second;
        const pid_t group = child.pid();
        const double grace = callgrind_ ? 30 : 10;
        child.stop(grace);
        // A process it forked may take a moment to follow (under valgrind,
        // to write its profile); one that stays is killed.
        wait_until([&] { return kill(-group, 0) != 0; }, grace);
        kill(-group, SIGKILL);
    }
    children_.clear();
    if (pty_ >= 0) close(pty_);
    pty_ = -1;
}

using PidSets = std::map<std::string, std::vector<pid_t>>;

PidSets resolve_subjects(const Lineup &lineup) {
    std::map<std::string, std::vector<pid_t>> by_tag;
    for (const auto &[tag, pid] : lineup.roots) by_tag[tag] = with_descendants(pid);
    PidSets sets;
    for (const auto &[name, tags] : kSubjects)
        for (const std::string &tag : tags) {
            auto found = by_tag.find(tag);
            if (found == by_tag.end()) throw std::runtime_error(tag + " was not started");
            sets[name].insert(sets[name].end(), found->second.begin(), found->second.end());
        }
    return sets;
}

struct Boundary {
    double t = 0;
    long cycles = 0;
    std::map<std::string, ProcSample> samples;
};

Boundary sample_all(Lineup &lineup, const PidSets &sets) {
    Boundary b;
    b.cycles = lineup.ours_cycles();
    b.t = monotonic_seconds();
    for (const auto &[name, pids] : sets)
        for (pid_t pid : pids) {
            auto s = sample_process(pid);
            if (!s) throw std::runtime_error(name + ": process " + std::to_string(pid) + " has gone");
            b.samples[name] += *s;
        }
    return b;
}

void sleep_until(double t) { sleep_seconds(t - monotonic_seconds()); }

std::vector<double> per_window(const std::vector<Boundary> &bounds, const std::string &name,
                               uint64_t ProcSample::*field, bool per_cycle) {
    std::vector<double> values, spans;
    for (const Boundary &b : bounds) {
        values.push_back(static_cast<double>(b.samples.at(name).*field));
        spans.push_back(per_cycle ? static_cast<double>(b.cycles) : b.t);
    }
    return window_rates(values, spans);
}

std::vector<double> wakeups(const std::vector<Boundary> &bounds, const std::string &name, bool per_cycle) {
    auto vol = per_window(bounds, name, &ProcSample::voluntary, per_cycle);
    auto nonvol = per_window(bounds, name, &ProcSample::nonvoluntary, per_cycle);
    for (size_t i = 0; i < vol.size(); i++) vol[i] += nonvol[i];
    return vol;
}

std::vector<double> scaled(std::vector<double> values, double factor) {
    for (double &v : values) v *= factor;
    return values;
}

struct NativeResult {
    std::vector<Boundary> bounds;
};

NativeResult measure_native(const Settings &settings) {
    Lineup lineup(settings, settings.work_dir + "/daemon-native", false);
    lineup.start_ours();
    lineup.start_nut();
    lineup.start_apcupsd();
    lineup.start_floor();
    sleep_seconds(settings.warmup_seconds);
    const PidSets sets = resolve_subjects(lineup);
    NativeResult result;
    const double t0 = monotonic_seconds();
    for (int k = 0; k <= settings.windows; k++) {
        sleep_until(t0 + k * settings.window_seconds);
        result.bounds.push_back(sample_all(lineup, sets));
    }
    lineup.stop();
    return result;
}

// ---------------------------------------------------------------- callgrind

std::string newest_dump(const std::string &dir, const std::string &tag, pid_t pid) {
    const std::string prefix = tag + "." + std::to_string(pid) + ".";
    std::string best;
    long best_n = -1;
    for (const auto &entry : fs::directory_iterator(dir)) {
        const std::string name = entry.path().filename();
        if (name.rfind(prefix, 0) != 0) continue;
        const long n = atol(name.c_str() + prefix.size());
        if (n > best_n) {
            best_n = n;
            best = entry.path();
        }
    }
    return best;
}

struct Dump {
    double t = 0;
    uint64_t instructions = 0;
};

// Asks a process under callgrind for a dump of the counts since its last one.
std::optional<Dump> dump_now(const std::string &dir, const std::string &tag, pid_t pid) {
    const std::string before = newest_dump(dir, tag, pid);
    const RunStats r = run({"callgrind_control", "-d", std::to_string(pid)}, with_timeout(60));
    const double t = monotonic_seconds();
    std::string after;
    wait_until([&] { return (after = newest_dump(dir, tag, pid)) != before && !after.empty(); }, 10);
    if (r.status != 0 || after == before) return std::nullopt;
    auto total = callgrind_total(read_text(after));
    if (!total) return std::nullopt;
    return Dump{t, *total};
}

struct DumpOfOurs {
    uint64_t total = 0;
    uint64_t world = 0;  // in the umockdev preload: the simulated world's share
};

// The daemon dumps when it leaves process(): each dump is one cycle, the
// pause before it included. Dumps written inside the measurement span count.
std::vector<DumpOfOurs> cycles_of_ours(const std::string &dir, pid_t pid, double from, double to) {
    std::vector<DumpOfOurs> cycles;
    const std::string prefix = "bexod." + std::to_string(pid) + ".";
    for (const auto &entry : fs::directory_iterator(dir)) {
        const std::string name = entry.path().filename();
        if (name.rfind(prefix, 0) != 0) continue;
        struct stat st;
        if (stat(entry.path().c_str(), &st) != 0) continue;
        const double written = st.st_mtim.tv_sec + st.st_mtim.tv_nsec / 1e9;
        if (written < from || written > to) continue;
        const std::string text = read_text(entry.path());
        DumpOfOurs d;
        d.total = callgrind_total(text).value_or(0);
        d.world = callgrind_share_of(text, "umockdev");
        cycles.push_back(d);
    }
    return cycles;
}

struct CallgrindResult {
    std::map<std::string, std::vector<double>> per_second;  // peers' rows, per window
    std::vector<DumpOfOurs> ours;
    std::string problem;
};

CallgrindResult measure_callgrind(const Settings &settings) {
    Lineup lineup(settings, settings.work_dir + "/daemon-callgrind", true);
    lineup.start_ours();
    lineup.start_nut();
    lineup.start_apcupsd();
    lineup.start_floor();
    sleep_seconds(settings.warmup_seconds + 4);  // valgrind's own start-up settles
    const PidSets sets = resolve_subjects(lineup);
    std::map<pid_t, std::string> tag_of;
    for (const auto &[tag, root] : lineup.roots)
        if (tag != "world" && tag != "bexod")
            for (pid_t pid : with_descendants(root)) tag_of[pid] = tag;

    std::map<pid_t, std::vector<Dump>> dumps;
    CallgrindResult result;
    const double t0 = monotonic_seconds();
    const double wall0 = wall_clock_seconds();
    for (int k = 0; k <= settings.windows; k++) {
        sleep_until(t0 + k * settings.window_seconds);
        std::vector<std::pair<pid_t, std::future<std::optional<Dump>>>> pending;
        for (const auto &[pid, tag] : tag_of)
            pending.emplace_back(pid, std::async(std::launch::async, dump_now, lineup.dir(), tag, pid));
        for (auto &[pid, future] : pending) {
            auto d = future.get();
            if (!d) {
                result.problem = "callgrind_control gave no dump for process " + std::to_string(pid);
                continue;
            }
            dumps[pid].push_back(*d);
        }
    }
    const double wall1 = wall_clock_seconds();
    const pid_t ours = lineup.roots.at("bexod");
    lineup.stop();
    result.ours = cycles_of_ours(lineup.dir(), ours, wall0, wall1);

    for (const auto &[name, pids] : sets) {
        if (name == kOurs) continue;
        for (int k = 1; k <= settings.windows; k++) {
            double instructions = 0, seconds = 0;
            int counted = 0;
            for (pid_t pid : pids) {
                const auto &d = dumps[pid];
                if (static_cast<int>(d.size()) <= k) continue;
                instructions += static_cast<double>(d[k].instructions);
                seconds += d[k].t - d[k - 1].t;
                counted++;
            }
            if (counted == static_cast<int>(pids.size()))
                result.per_second[name].push_back(instructions / (seconds / counted));
        }
    }
    return result;
}

Row ratio_to(Row row, const Row &ours) {
    if (ours.stats.runs > 0 && row.name != ours.name) {
        row.reference = ours.stats.median;
        row.reference_name = "ours";
    }
    return row;
}

}  // namespace

void run_daemon_group(const Settings &settings, Report &report) {
    const NativeResult native = measure_native(settings);
    const auto &bounds = native.bounds;
    std::vector<double> cycles, times;
    for (const Boundary &b : bounds) {
        cycles.push_back(static_cast<double>(b.cycles));
        times.push_back(b.t);
    }
    const std::vector<double> cycles_per_s = window_rates(cycles, times);

    std::optional<CallgrindResult> grind;
    if (settings.callgrind) grind = measure_callgrind(settings);

    std::map<std::string, Row> ours_rows;
    for (const auto &[name, tags] : kSubjects) {
        const bool is_ours = name == kOurs;
        std::vector<Row> rows;
        rows.push_back(make_row("daemon", name, "CPU per s", "us",
                                scaled(per_window(bounds, name, &ProcSample::cpu_ns, false), 1e-3)));
        rows.push_back(make_row("daemon", name, "wake-ups per s", "count", wakeups(bounds, name, false)));
        rows.push_back(make_row("daemon", name, "voluntary per s", "count",
                                per_window(bounds, name, &ProcSample::voluntary, false)));
        if (grind) {
            std::vector<double> per_s;
            if (is_ours) {
                for (const DumpOfOurs &d : grind->ours)
                    per_s.push_back(static_cast<double>(d.total - d.world) * summarize(cycles_per_s).median);
            } else if (grind->per_second.count(name)) {
                per_s = grind->per_second.at(name);
            }
            Row instructions = per_s.empty()
                ? missing_row("daemon", name, "instructions per s", "instr", grind->problem)
                : make_row("daemon", name, "instructions per s", "instr", per_s);
            if (is_ours) instructions.note = "own per cycle (umockdev's share left out) x cycles per s";
            rows.push_back(instructions);
        }
        Row hwm = make_row("daemon", name, "peak RSS (VmHWM)", "KiB",
                           {static_cast<double>(bounds.back().samples.at(name).hwm_kib)});
        hwm.note = std::to_string(bounds.back().samples.at(name).tasks) + " thread(s)";
        rows.push_back(hwm);
        for (Row &row : rows) {
            if (is_ours) ours_rows[row.metric] = row;
            else row = ratio_to(row, ours_rows[row.metric]);
            report.add(row);
        }
        if (!is_ours) continue;
        report.add(make_row("daemon", name, "cycles per s", "count", cycles_per_s));
        report.add(make_row("daemon", name, "CPU per cycle", "us",
                            scaled(per_window(bounds, name, &ProcSample::cpu_ns, true), 1e-3)));
        report.add(make_row("daemon", name, "wake-ups per cycle", "count", wakeups(bounds, name, true)));
        if (grind) {
            std::vector<double> total, own;
            for (const DumpOfOurs &d : grind->ours) {
                total.push_back(static_cast<double>(d.total));
                own.push_back(static_cast<double>(d.total - d.world));
            }
            report.add(make_row("daemon", name, "instructions per cycle", "instr", total));
            Row net = make_row("daemon", name, "instr/cycle less umockdev", "instr", own);
            net.note = "the preload's own share left out";
            report.add(net);
        }
    }
    report.notes["daemon"] = {
        "Idle, watched over the same wall time: " + std::to_string(settings.windows) + " windows of " +
            format_number(settings.window_seconds) + " s after " + format_number(settings.warmup_seconds) +
            " s of warm-up; figures per window.",
        "CPU = user+sys on-CPU time of every thread (schedstat); wake-ups = voluntary + involuntary",
        "context switches of every thread; instructions from callgrind in a second run of the same",
        "length (ours: one dump per cycle on leaving process(); peers: callgrind_control dumps at the",
        "window ends). bexod: sleep=1, in the world (GPIO read through FUSE, bus through umockdev).",
        "NUT 2.8.0: upsmon (POLLFREQ 5) on upsd with dummy-ups on a .dev file (under callgrind upsmon",
        "-p: one process); apcupsd 3.14.14: UPSTYPE dumb on a pseudo-terminal (polls the modem lines",
        "every 5 s). floor: idle-loop, bexod's idle system calls on real sysfs. Ratios: x ours.",
    };
}

}  // namespace bench

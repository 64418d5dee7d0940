// SPDX-License-Identifier: GPL-2.0-or-later
// Daemon idle cost: bexod in the simulated world with sleep=1, with its
// export for NUT off and on (interval 10, and once more with sleep=30), beside
// the monitors a user would otherwise run (NUT's upsmon with upsd and the
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
#include "sim/world.hpp"

namespace bench {

namespace {

namespace fs = std::filesystem;

const char *const kOurs = "bexod (ours, in the world)";
const char *const kOursSlow = "bexod, sleep 5";
const char *const kExport = "bexod, NUT export interval 10";
const char *const kExportSlow = "bexod, export 10, sleep 30";
const char *const kUpsmon = "NUT upsmon";
const char *const kNutPair = "NUT upsd+dummy-ups";
const char *const kNut = "NUT upsd+dummy-ups+upsmon";
const char *const kApcupsd = "apcupsd (dumb UPS, pty)";
const char *const kFloor = "floor: sysfs read + 1 s pause";

// Which started programs make up each row.
const std::vector<std::pair<std::string, std::vector<std::string>>> kSubjects = {
    {kOurs, {"bexod"}},
    {kOursSlow, {"bexod-slow"}},
    {kExport, {"bexod-export"}},
    {kExportSlow, {"bexod-export-slow"}},
    {kUpsmon, {"upsmon"}},
    {kNutPair, {"dummy-ups", "upsd"}},
    {kNut, {"dummy-ups", "upsd", "upsmon"}},
    {kApcupsd, {"apcupsd"}},
    {kFloor, {"idle-loop"}},
};

// The bexod rows: subject name -> daemon tag, with the export setting and
// the sleep of each.
struct OursSetup {
    const char *name;
    const char *tag;
    const char *export_value;
    const char *sleep;
};
const OursSetup kOursSetups[] = {
    {kOurs, "bexod", "0", "1"},
    {kOursSlow, "bexod-slow", "0", "5"},
    {kExport, "bexod-export", "1", "1"},
    {kExportSlow, "bexod-export-slow", "1", "30"},
};
constexpr double kExportInterval = 10;  // dist/bexo.cfg's interval

const OursSetup *ours_setup(const std::string &name) {
    for (const OursSetup &o : kOursSetups)
        if (name == o.name) return &o;
    return nullptr;
}

void write_file(const std::string &path, const std::string &text, mode_t mode = 0644) {
    std::ofstream out(path, std::ios::trunc);
    out << text;
    out.close();
    if (!out) throw std::runtime_error("cannot write " + path);
    chmod(path.c_str(), mode);
}

// A free port, or the measurement cannot go on.
int free_loopback_port() {
    const int port = sim::free_loopback_port();
    if (port == 0) throw std::runtime_error("no free loopback port");
    return port;
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

    // bexod in a world of its own, as `tag`, with [NUT] export and sleep so.
    void start_ours(const std::string &tag, const std::string &export_value, const std::string &sleep);
    void start_nut();
    void start_apcupsd();
    void start_floor();

    std::map<std::string, pid_t> roots;  // tag -> first process
    const std::string &dir() const { return dir_; }

    // A daemon's counts so far, from its world's record.
    struct Counts {
        long cycles = 0;    // GPIO reads of the event line
        long readings = 0;  // readings for the export
        long wakeups = 0;   // runs of activity after an idle pause
    };
    Counts ours_counts(const std::string &tag);
    std::vector<std::string> ours_tags() const;
    void stop();

private:
    std::vector<std::string> wrapped(const std::string &tag, std::vector<std::string> argv) const;
    Child &launch(const std::string &tag, const std::vector<std::string> &argv,
                  const SpawnOptions &options, bool talk = false);

    const Settings &settings_;
    std::string dir_;
    bool callgrind_;
    std::vector<std::pair<std::string, std::unique_ptr<Child>>> children_;
    std::map<std::string, Child *> worlds_;  // daemon tag -> its world
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

void Lineup::start_ours(const std::string &tag, const std::string &export_value, const std::string &sleep) {
    std::vector<std::string> argv = {settings_.bin_dir + "/bexo-bench-world", "daemon", settings_.config,
                                     export_value, sleep};
    if (callgrind_) argv.push_back(dir_);
    const std::string world_tag = "world-" + tag;
    Child &world = launch(world_tag, argv, {}, true);
    worlds_[tag] = &world;
    const auto line = world.line(180);
    if (!line || line->rfind("pid ", 0) != 0)
        throw std::runtime_error(tag + " did not start in the world; see " + dir_ + "/" + world_tag + ".log");
    roots[tag] = static_cast<pid_t>(atol(line->c_str() + 4));
}

Lineup::Counts Lineup::ours_counts(const std::string &tag) {
    Child &world = *worlds_.at(tag);
    world.send("count\n");
    const auto line = world.line(30);
    Counts c;
    double seconds = 0;
    if (!line || sscanf(line->c_str(), "count %ld %lf %ld %ld", &c.cycles, &seconds, &c.readings, &c.wakeups) != 4)
        throw std::runtime_error("the world of " + tag + " stopped answering");
    return c;
}

std::vector<std::string> Lineup::ours_tags() const {
    std::vector<std::string> tags;
    for (const auto &[tag, world] : worlds_) tags.push_back(tag);
    return tags;
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
    for (const auto &[tag, world] : worlds_) world->send("stop\n");
    for (const auto &[tag, world] : worlds_) world->line(60);
    worlds_.clear();
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
    std::map<std::string, Lineup::Counts> counts;  // by daemon tag
    std::map<std::string, ProcSample> samples;
};

Boundary sample_all(Lineup &lineup, const PidSets &sets) {
    Boundary b;
    for (const std::string &tag : lineup.ours_tags()) b.counts[tag] = lineup.ours_counts(tag);
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
        spans.push_back(per_cycle ? static_cast<double>(b.counts.at(ours_setup(name)->tag).cycles) : b.t);
    }
    return window_rates(values, spans);
}

// A daemon's count (cycles, readings, wake-ups) per second, per window.
std::vector<double> count_rates(const std::vector<Boundary> &bounds, const std::string &tag,
                                long Lineup::Counts::*field) {
    std::vector<double> values, times;
    for (const Boundary &b : bounds) {
        values.push_back(static_cast<double>(b.counts.at(tag).*field));
        times.push_back(b.t);
    }
    return window_rates(values, times);
}

std::vector<double> minus(std::vector<double> a, const std::vector<double> &b) {
    for (size_t i = 0; i < a.size() && i < b.size(); i++) a[i] -= b[i];
    return a;
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

void start_all(Lineup &lineup) {
    for (const OursSetup &o : kOursSetups) lineup.start_ours(o.tag, o.export_value, o.sleep);
    lineup.start_nut();
    lineup.start_apcupsd();
    lineup.start_floor();
}

NativeResult measure_native(const Settings &settings) {
    Lineup lineup(settings, settings.work_dir + "/daemon-native", false);
    start_all(lineup);
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
    double written = 0;  // wall clock
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
        d.written = written;
        d.total = callgrind_total(text).value_or(0);
        d.world = callgrind_share_of(text, "umockdev");
        cycles.push_back(d);
    }
    return cycles;
}

struct CallgrindResult {
    std::map<std::string, std::vector<double>> per_second;  // peers' rows, per window
    std::map<std::string, std::vector<DumpOfOurs>> ours;    // by bexod row
    double wall0 = 0;                                       // start of the first window
    std::string problem;
};

// A daemon's own instructions (umockdev's share left out) per second in each
// window: every cycle counts, the few with a reading as much as the others.
std::vector<double> own_per_second(const CallgrindResult &grind, const std::string &name,
                                   const Settings &settings) {
    std::vector<double> sums(static_cast<size_t>(settings.windows), 0);
    for (const DumpOfOurs &d : grind.ours.at(name)) {
        const long k = static_cast<long>((d.written - grind.wall0) / settings.window_seconds);
        if (k >= 0 && k < settings.windows) sums[static_cast<size_t>(k)] += static_cast<double>(d.total - d.world);
    }
    return scaled(sums, 1 / settings.window_seconds);
}

CallgrindResult measure_callgrind(const Settings &settings) {
    Lineup lineup(settings, settings.work_dir + "/daemon-callgrind", true);
    start_all(lineup);
    sleep_seconds(settings.warmup_seconds + 4);  // valgrind's own start-up settles
    const PidSets sets = resolve_subjects(lineup);
    std::map<pid_t, std::string> tag_of;
    for (const auto &[tag, root] : lineup.roots)
        if (tag.rfind("world-", 0) != 0 && tag.rfind("bexod", 0) != 0)
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
    result.wall0 = wall0;
    std::map<std::string, pid_t> ours;
    for (const OursSetup &o : kOursSetups) ours[o.name] = lineup.roots.at(o.tag);
    lineup.stop();
    for (const auto &[name, pid] : ours) result.ours[name] = cycles_of_ours(lineup.dir(), pid, wall0, wall1);

    for (const auto &[name, pids] : sets) {
        if (ours_setup(name)) continue;
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

    std::optional<CallgrindResult> grind;
    if (settings.callgrind) grind = measure_callgrind(settings);

    std::map<std::string, Row> ours_rows;
    for (const auto &[name, tags] : kSubjects) {
        const bool is_ours = name == kOurs;
        const OursSetup *setup = ours_setup(name);
        const std::vector<double> cycles_per_s =
            setup ? count_rates(bounds, setup->tag, &Lineup::Counts::cycles) : std::vector<double>{};
        std::vector<Row> rows;
        rows.push_back(make_row("daemon", name, "CPU per s", "us",
                                scaled(per_window(bounds, name, &ProcSample::cpu_ns, false), 1e-3)));
        rows.push_back(make_row("daemon", name, "wake-ups per s", "count", wakeups(bounds, name, false)));
        rows.push_back(make_row("daemon", name, "voluntary per s", "count",
                                per_window(bounds, name, &ProcSample::voluntary, false)));
        if (grind) {
            std::vector<double> per_s;
            if (setup) {
                per_s = own_per_second(*grind, name, settings);
            } else if (grind->per_second.count(name)) {
                per_s = grind->per_second.at(name);
            }
            Row instructions = per_s.empty()
                ? missing_row("daemon", name, "instructions per s", "instr", grind->problem)
                : make_row("daemon", name, "instructions per s", "instr", per_s);
            if (setup) instructions.note = "own (umockdev's share left out), summed over each window";
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
        if (!setup) continue;
        report.add(make_row("daemon", name, "cycles per s", "count", cycles_per_s));
        report.add(make_row("daemon", name, "readings per s", "count",
                            count_rates(bounds, setup->tag, &Lineup::Counts::readings)));
        // Idle wake-ups: the cycles, and readings that did not ride on one.
        const std::vector<double> idle = count_rates(bounds, setup->tag, &Lineup::Counts::wakeups);
        Row beyond = make_row("daemon", name, "wake-ups beyond cycles per 10 s", "count",
                              scaled(minus(idle, cycles_per_s), kExportInterval));
        beyond.note = "pauses ended for a reading alone, per export interval";
        report.add(beyond);
        report.add(make_row("daemon", name, "CPU per cycle", "us",
                            scaled(per_window(bounds, name, &ProcSample::cpu_ns, true), 1e-3)));
        report.add(make_row("daemon", name, "wake-ups per cycle", "count", wakeups(bounds, name, true)));
        if (name == kExport) {
            // The same cycles as ours: the difference is the export's own cost.
            const auto cpu_of = [&](const std::string &who) {
                return scaled(per_window(bounds, who, &ProcSample::cpu_ns, false), 1e-3);
            };
            Row added_cpu = make_row("daemon", name, "added CPU per 10 s", "us",
                                     scaled(minus(cpu_of(name), cpu_of(kOurs)), kExportInterval));
            added_cpu.note = "over ours, window by window: one reading and one file";
            report.add(added_cpu);
            Row added = make_row("daemon", name, "added switches per 10 s", "count",
                                 scaled(minus(wakeups(bounds, name, false), wakeups(bounds, kOurs, false)),
                                        kExportInterval));
            added.note = "over ours: request, wait and reply of each exchange";
            report.add(added);
        }
        if (grind && !grind->ours[name].empty()) {
            std::vector<double> total, own;
            for (const DumpOfOurs &d : grind->ours[name]) {
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
        "length (ours: one dump per cycle on leaving process(), summed by window; peers: callgrind_control dumps at the",
        "window ends). bexod: sleep=1 and 5, in the world (GPIO read through FUSE, bus through umockdev);",
        "again with [NUT] export=1 interval=10 (a reading of 6 exchanges and a rename every 10 s), and",
        "with sleep=30 too, where the pause ends for the readings between cycles. Wake-ups beyond",
        "cycles: from the world's record, bus transfers after 0.35 s of quiet that no cycle started.",
        "NUT 2.8.0: upsmon (POLLFREQ 5) on upsd with dummy-ups on a .dev file (under callgrind upsmon",
        "-p: one process), and upsd+dummy-ups alone, the pair that serves bexod's export;",
        "apcupsd 3.14.14: UPSTYPE dumb on a pseudo-terminal (polls the modem lines",
        "every 5 s). floor: idle-loop, bexod's idle system calls on real sysfs. Ratios: x ours.",
    };
}

}  // namespace bench

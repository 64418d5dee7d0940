// SPDX-License-Identifier: GPL-2.0-or-later
// bexo-bench: the tool's latency, the daemon's idle cost and the INI engine
// against their peers, printed as tables and written as JSON.
#include <sys/resource.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <set>
#include <sstream>
#include <string>

#include "bench/groups.hpp"
#include "bench/lib/procstat.hpp"
#include "bench/lib/spawn.hpp"

namespace {

using namespace bench;

void usage(FILE *to) {
    fprintf(to,
            "usage: bexo-bench [options]\n"
            "  --runs N            repetitions of each tool and INI measurement (default 7, at least 5)\n"
            "  --big-mib N         size of the large INI file in MiB (default 64; 0 leaves it out)\n"
            "  --ini-timeout S     seconds one INI run may take before it is given up (default 30)\n"
            "  --windows N         daemon measurement windows (default 5)\n"
            "  --window-seconds S  length of each window (default 10)\n"
            "  --no-callgrind      leave out the daemons' instruction counts\n"
            "  --only GROUPS       comma-separated: tool, daemon, ini (default all)\n"
            "  --out FILE          JSON result (default: none)\n"
            "  --compare OLD.json  also print the change of every row against an earlier result\n"
            "  --show FILE         print the tables of a saved result instead of measuring\n");
}

// Busy and total jiffies of all processors.
std::pair<double, double> cpu_jiffies() {
    std::istringstream line(read_text("/proc/stat"));
    std::string cpu;
    double value, total = 0, idle = 0;
    line >> cpu;
    for (int i = 0; line >> value && i < 8; i++) {
        total += value;
        if (i == 3 || i == 4) idle += value;  // idle, iowait
    }
    return {total - idle, total};
}

double own_cpu_seconds() {
    double seconds = 0;
    for (int who : {RUSAGE_SELF, RUSAGE_CHILDREN}) {
        rusage u{};
        getrusage(who, &u);
        seconds += u.ru_utime.tv_sec + u.ru_utime.tv_usec / 1e6 + u.ru_stime.tv_sec + u.ru_stime.tv_usec / 1e6;
    }
    return seconds;
}

std::string first_line(const std::string &text) { return text.substr(0, text.find('\n')); }

Report load_report(const std::string &path) {
    std::ifstream in(path);
    if (!in) throw std::runtime_error("cannot read " + path);
    return from_json(nlohmann::json::parse(in));
}

std::string machine_text(const Report &report) {
    std::ostringstream out;
    out << "Machine:";
    for (const auto &[key, value] : report.machine) out << " " << key << "=" << value << ";";
    out << "\nSettings:";
    for (const auto &[key, value] : report.settings) out << " " << key << "=" << value << ";";
    return out.str() + "\n";
}

}  // namespace

int main(int argc, char **argv) {
    Settings settings;
    settings.window_seconds = 10;
    settings.bin_dir = BENCH_BIN_DIR;
    const std::string build = std::filesystem::path(BENCH_BIN_DIR).parent_path();
    settings.work_dir = build + "/bench-work";
    settings.peers_root = build + "/peers/root";
    std::set<std::string> groups = {"tool", "daemon", "ini"};
    std::string out_path, compare_path, show_path;
    for (int i = 1; i < argc; i++) {
        const std::string a = argv[i];
        auto next = [&]() -> std::string {
            if (i + 1 >= argc) {
                usage(stderr);
                exit(2);
            }
            return argv[++i];
        };
        if (a == "--runs") settings.runs = atoi(next().c_str());
        else if (a == "--big-mib") settings.big_mib = atoi(next().c_str());
        else if (a == "--ini-timeout") settings.ini_timeout = atof(next().c_str());
        else if (a == "--windows") settings.windows = atoi(next().c_str());
        else if (a == "--window-seconds") settings.window_seconds = atof(next().c_str());
        else if (a == "--no-callgrind") settings.callgrind = false;
        else if (a == "--out") out_path = next();
        else if (a == "--compare") compare_path = next();
        else if (a == "--show") show_path = next();
        else if (a == "--only") {
            groups.clear();
            std::istringstream list(next());
            for (std::string g; std::getline(list, g, ',');) groups.insert(g);
        } else if (a == "--help" || a == "-h") {
            usage(stdout);
            return 0;
        } else {
            usage(stderr);
            return 2;
        }
    }
    try {
        if (!show_path.empty()) {
            const Report shown = load_report(show_path);
            std::cout << machine_text(shown) << format_tables(shown);
            if (!compare_path.empty()) std::cout << format_comparison(shown, load_report(compare_path));
            return 0;
        }
        if (settings.runs < 5 || settings.windows < 1 || settings.window_seconds <= 0) {
            fprintf(stderr, "bexo-bench: --runs must be 5 or more, windows and their length positive\n");
            return 2;
        }
        settings.config = std::string(BENCH_SOURCE_DIR) + "/dist/bexo.cfg";
        std::filesystem::create_directories(settings.work_dir);

        Report report;
        utsname u{};
        uname(&u);
        report.machine["cores"] = std::to_string(sysconf(_SC_NPROCESSORS_ONLN));
        report.machine["kernel"] = u.release;
        report.machine["load at start"] = first_line(read_text("/proc/loadavg"));
        char when[32];
        const time_t now = time(nullptr);
        strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%SZ", gmtime(&now));
        report.machine["started"] = when;
        report.settings = {{"runs", std::to_string(settings.runs)},
                           {"big file MiB", std::to_string(settings.big_mib)},
                           {"daemon windows", std::to_string(settings.windows) + " x " +
                                                  format_number(settings.window_seconds) + " s"},
                           {"callgrind", settings.callgrind ? "yes" : "no"}};
        const auto [busy0, total0] = cpu_jiffies();
        const double own0 = own_cpu_seconds();
        const double t0 = monotonic_seconds();

        int failures = 0;
        const std::vector<std::pair<std::string, void (*)(const Settings &, Report &)>> order = {
            {"tool", run_tool_group}, {"daemon", run_daemon_group}, {"ini", run_ini_group}};
        for (const auto &[name, group] : order) {
            if (!groups.count(name)) continue;
            fprintf(stderr, "bexo-bench: measuring %s...\n", name.c_str());
            try {
                group(settings, report);
            } catch (const std::exception &e) {
                fprintf(stderr, "bexo-bench: %s group failed: %s\n", name.c_str(), e.what());
                report.notes[name].push_back(std::string("FAILED: ") + e.what());
                failures++;
            }
        }

        const auto [busy1, total1] = cpu_jiffies();
        const double ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
        const double cores = static_cast<double>(sysconf(_SC_NPROCESSORS_ONLN));
        const double elapsed = monotonic_seconds() - t0;
        const double busy = (busy1 - busy0) / ticks, own = own_cpu_seconds() - own0;
        char text[160];
        snprintf(text, sizeof text, "%.0f%% of %.0f cores busy, %.0f%% by others (%.0f s)",
                 total1 > total0 ? 100 * (busy1 - busy0) / (total1 - total0) : 0, cores,
                 100 * std::max(0.0, busy - own) / (elapsed * cores), elapsed);
        report.machine["during the run"] = text;
        report.machine["load at end"] = first_line(read_text("/proc/loadavg"));

        std::cout << machine_text(report) << format_tables(report);
        if (!out_path.empty()) {
            std::ofstream out(out_path);
            out << to_json(report).dump(1) << "\n";
            if (!out) throw std::runtime_error("cannot write " + out_path);
        }
        if (!compare_path.empty()) std::cout << format_comparison(report, load_report(compare_path));
        return failures == 0 ? 0 : 1;
    } catch (const std::exception &e) {
        fprintf(stderr, "bexo-bench: %s\n", e.what());
        return 1;
    }
}

// SPDX-License-Identifier: GPL-2.0-or-later
// bexo-bench-world: the parts of the benchmark that need the simulated world.
// It prints its measurements as JSON on standard output for bexo-bench.
//
//   bexo-bench-world tool CONFIG RUNS TIMER PROBE
//       times bexo -status, -capbat 0 and -vin under TIMER (bench-timer),
//       with `true` and PROBE (sim-probe) as the world's own share.
//   bexo-bench-world daemon CONFIG EXPORT SLEEP [VALGRIND_OUT_DIR]
//       starts bexod with [NUT] export and [General] sleep set so (under
//       callgrind when a folder is given), prints "pid N", then answers the
//       lines "count" ("count CYCLES SECONDS READINGS WAKEUPS") and "stop"
//       ("stopped STATUS") on standard input.
#include <csignal>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "bench/lib/procstat.hpp"
#include "bench/lib/timer_line.hpp"
#include "bench/world/timeline.hpp"
#include "sim/world.hpp"

namespace {

using nlohmann::json;

struct ToolCase {
    std::string name;
    std::vector<std::string> args;
    double limit_ms;       // the pauses the program must make
    std::string expected;  // a piece of its output that shows it worked
};

double steady_seconds() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

// One run under bench-timer: the timer's fields plus the world's view.
json timed_run(sim::World &w, const std::string &timer, const std::vector<std::string> &command,
               const std::string &expected) {
    std::vector<std::string> argv = {timer};
    argv.insert(argv.end(), command.begin(), command.end());
    const size_t from = w.event_count();
    const sim::Result r = w.run(argv);
    auto fields = bench::parse_timer_line(r.err);
    if (r.status != 0 || !fields || r.out.find(expected) == std::string::npos)
        throw std::runtime_error(command[0] + " failed in the world (status " +
                                 std::to_string(r.status) + "): " + r.out + r.err);
    // The record's times count from the world's start on the same clock.
    const double world_start = steady_seconds() - w.now();
    const sim::Events events = w.events();
    const bench::Timeline tl = bench::timeline_since(events, from);
    json run = {{"world_s", r.seconds}, {"transfers", bench::transfers_since(events, from)}, {"pauses_s", tl.pauses}};
    for (const auto &[name, value] : *fields) run[name] = value;
    if (tl.first >= 0) {
        const double start = static_cast<double>(fields->at("start_ns")) / 1e9;
        const double end = start + static_cast<double>(fields->at("wall_ns")) / 1e9;
        run["before_first_s"] = world_start + tl.first - start;
        run["between_s"] = tl.last - tl.first - tl.pauses;
        run["after_last_s"] = end - (world_start + tl.last);
    }
    return run;
}

std::string with_board_address(std::string config) {
    const size_t at = config.find("\naddress=");
    if (at == std::string::npos) return config;
    const size_t end = config.find('\n', at + 1);
    return config.replace(at + 1, end - at - 1, "address=0x36");
}

std::string with_setting(std::string config, const std::string &key, const std::string &value) {
    const size_t at = config.find("\n" + key + "=");
    if (at == std::string::npos) throw std::runtime_error("no " + key + " in the configuration");
    const size_t end = config.find('\n', at + 1);
    return config.replace(at + 1, end - at - 1, key + "=" + value);
}

int tool(const std::string &config, int runs, const std::string &timer, const std::string &probe) {
    sim::World w;
    w.set_config(with_board_address(config));
    w.board().set_battery(745);
    const std::vector<ToolCase> cases = {
        {"bexo -status", {"bexo", "-status"}, 200 + 5 * 100 + 300, "* Sleep timer:"},
        {"bexo -capbat 0", {"bexo", "-capbat", "0"}, 300, "66.91"},
        {"bexo -vin", {"bexo", "-vin"}, 200 + 20, "* Voltage in:"},
        {"true", {"true"}, 0, ""},
    };
    const int probe_pairs = 50;
    std::vector<std::string> probe_open = {probe, "open:/dev/i2c-1", "bind:0x36"};
    std::vector<std::string> probe_busy = probe_open;
    for (int i = 0; i < probe_pairs; i++) {
        probe_busy.push_back("write:36");
        probe_busy.push_back("read:3");
    }
    json result = {{"cases", json::array()}, {"probe_pairs", probe_pairs}};
    std::vector<json> samples(cases.size(), json::array());
    json probe_idle = json::array(), probe_loaded = json::array();
    timed_run(w, timer, cases[0].args, cases[0].expected);  // first run loads the caches
    // Round by round, so that a change in the machine's load hits every case alike.
    for (int run = 0; run < runs; run++) {
        for (size_t c = 0; c < cases.size(); c++)
            samples[c].push_back(timed_run(w, timer, cases[c].args, cases[c].expected));
        probe_idle.push_back(timed_run(w, timer, probe_open, "bind 0 OK"));
        probe_loaded.push_back(timed_run(w, timer, probe_busy, "read 3 OK"));
    }
    for (size_t c = 0; c < cases.size(); c++)
        result["cases"].push_back(
            {{"name", cases[c].name}, {"limit_ms", cases[c].limit_ms}, {"runs", samples[c]}});
    result["probe_idle"] = probe_idle;
    result["probe_loaded"] = probe_loaded;
    std::cout << result.dump() << std::endl;
    return 0;
}

size_t gpio_reads(const sim::World &w) {
    const int line = w.gpio_number(27);
    size_t count = 0;
    for (const sim::Event &e : w.events())
        count += e.kind == sim::Kind::GpioValueRead && e.line == line;
    return count;
}

// Readings of the board for the NUT export: each asks for the charger state once.
size_t readings(const sim::World &w) {
    size_t count = 0;
    for (const sim::Event &e : w.board_writes()) count += !e.bytes.empty() && e.bytes[0] == 0x35;
    return count;
}

int daemon(const std::string &config, const std::string &export_value, const std::string &sleep,
           const std::string &valgrind_dir) {
    sim::World w;
    std::string settings = with_board_address(config);
    settings = with_setting(settings, "autostart", "0");
    settings = with_setting(settings, "sleep", sleep);
    settings = with_setting(settings, "export", export_value);
    w.set_config(settings);
    sim::Result start;
    if (valgrind_dir.empty()) {
        start = w.bexod({"-start"});
    } else {
        // One profile dump each time the daemon leaves its cycle. The log
        // goes to a file: valgrind would otherwise hold the world's output
        // pipe open for as long as the daemon runs.
        sim::RunOptions slow;
        slow.timeout = 120;
        start = w.run({"valgrind", "--tool=callgrind", "--dump-after=process()",
                       "--callgrind-out-file=" + valgrind_dir + "/bexod.%p",
                       "--log-file=" + valgrind_dir + "/valgrind-bexod.%p.log",
                       w.bin_dir() + "/bexod", "-start"},
                      slow);
    }
    if (start.status != 0 || !w.wait_for([&] { return w.daemon_pid() > 0; }, 60))
        throw std::runtime_error("bexod did not start: " + start.out + start.err);
    const pid_t pid = w.daemon_pid();
    std::cout << "pid " << pid << std::endl;
    std::string command;
    while (std::getline(std::cin, command)) {
        if (command == "count") {
            std::cout << "count " << gpio_reads(w) << " " << w.now() << " " << readings(w) << " "
                      << bench::wakeups(w.events(), 0.35) << std::endl;
        } else if (command == "stop") {
            break;
        }
    }
    w.signal_daemon(SIGTERM);
    const auto status = w.wait_exit(pid, 60);
    std::cout << "stopped " << (status ? *status : -1) << std::endl;
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    const std::string problem = sim::enter_world_process(argv);
    if (!sim::in_world_process()) {
        fprintf(stderr, "bexo-bench-world: cannot enter a world process: %s\n", problem.c_str());
        return 1;
    }
    try {
        const std::string mode = argc > 1 ? argv[1] : "";
        if (mode == "tool" && argc == 6)
            return tool(bench::read_text(argv[2]), atoi(argv[3]), argv[4], argv[5]);
        if (mode == "daemon" && (argc == 5 || argc == 6))
            return daemon(bench::read_text(argv[2]), argv[3], argv[4], argc == 6 ? argv[5] : "");
    } catch (const std::exception &e) {
        fprintf(stderr, "bexo-bench-world: %s\n", e.what());
        return 1;
    }
    fprintf(stderr,
            "usage: %s tool CONFIG RUNS TIMER PROBE | daemon CONFIG EXPORT SLEEP [VALGRIND_OUT_DIR]\n",
            argv[0]);
    return 2;
}

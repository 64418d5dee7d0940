// SPDX-License-Identifier: GPL-2.0-or-later
// Tool latency: bexo -status, -capbat 0 and -vin in the simulated world,
// against the pauses the exchanges prescribe.
#include <stdexcept>
#include <vector>

#include <nlohmann/json.hpp>

#include "bench/groups.hpp"
#include "bench/lib/spawn.hpp"
#include "bench/lib/stats.hpp"

namespace bench {

namespace {

using nlohmann::json;

std::vector<double> field_ms(const json &runs, const char *field, double scale) {
    std::vector<double> values;
    for (const json &run : runs) values.push_back(run.at(field).get<double>() * scale);
    return values;
}

std::vector<double> cpu_ms(const json &runs) {
    std::vector<double> values;
    for (const json &run : runs)
        values.push_back((run.at("user_us").get<double>() + run.at("sys_us").get<double>()) / 1000);
    return values;
}

}  // namespace

void run_tool_group(const Settings &settings, Report &report) {
    const RunStats world = run({settings.bin_dir + "/bexo-bench-world", "tool", settings.config,
                                std::to_string(settings.runs), settings.bin_dir + "/bench-timer",
                                BENCH_SIM_PROBE},
                               with_timeout(120.0 + settings.runs * 30.0));
    if (world.status != 0) throw std::runtime_error("tool measurement failed: " + world.err);
    const json result = json::parse(world.out);

    // The world's share: a process start with the umockdev preload, and one
    // socket round trip to the board model per bus transfer.
    const std::vector<double> start_ms = field_ms(result.at("cases").back().at("runs"), "wall_ns", 1e-6);
    const double pairs = result.at("probe_pairs").get<double>();
    std::vector<double> transfer_ms;
    const json &idle = result.at("probe_idle"), &loaded = result.at("probe_loaded");
    for (size_t i = 0; i < idle.size() && i < loaded.size(); i++)
        transfer_ms.push_back((loaded[i].at("wall_ns").get<double>() - idle[i].at("wall_ns").get<double>()) /
                              1e6 / (2 * pairs));
    const double start_median = summarize(start_ms).median;
    const double transfer_median = summarize(transfer_ms).median;
    // bench-timer starts each program from a process that carries the
    // umockdev preload; its size at the fork is the floor of peak RSS.

    for (const json &c : result.at("cases")) {
        const std::string name = c.at("name");
        if (name == "true") continue;
        const double limit = c.at("limit_ms");
        const json &runs = c.at("runs");
        const std::vector<double> own = field_ms(runs, "wall_ns", 1e-6);
        std::vector<double> overhead, lateness, outside;
        for (size_t i = 0; i < own.size(); i++) {
            const double paused = runs[i].at("pauses_s").get<double>() * 1000;
            overhead.push_back(own[i] - limit);
            lateness.push_back(paused - limit);
            outside.push_back(own[i] - paused);
        }
        Row wall = make_row("tool", name, "wall (own process)", "ms", own);
        wall.reference = limit;
        wall.reference_name = "limit";
        wall.note = "limit " + format_number(limit) + " ms of prescribed pauses";
        report.add(wall);
        report.add(make_row("tool", name, "overhead over pauses", "ms", overhead));
        Row late = make_row("tool", name, "= pauses' lateness", "ms", lateness);
        late.note = "requests to replies, less the limit";
        report.add(late);
        Row rest = make_row("tool", name, "+ time outside pauses", "ms", outside);
        rest.note = "world's share: ~" + format_number(start_median) + " start + " +
                    format_number(transfer_median) + " per transfer";
        report.add(rest);
        Row before = make_row("tool", name, "  start to first transfer", "ms", field_ms(runs, "before_first_s", 1000));
        before.note = "exec, libraries, preload, configuration, board layout";
        report.add(before);
        report.add(make_row("tool", name, "  between exchanges", "ms", field_ms(runs, "between_s", 1000)));
        Row after = make_row("tool", name, "  last transfer to exit", "ms", field_ms(runs, "after_last_s", 1000));
        after.note = "output, exit";
        report.add(after);
        report.add(make_row("tool", name, "CPU user+sys", "ms", cpu_ms(runs)));
        report.add(make_row("tool", name, "bus transfers", "count", field_ms(runs, "transfers", 1)));
        report.add(make_row("tool", name, "peak RSS", "KiB", field_ms(runs, "maxrss_kib", 1)));
        report.add(make_row("tool", name, "world round trip", "ms", field_ms(runs, "world_s", 1000)));
    }
    Row start = make_row("tool", "world: true", "wall (own process)", "ms", start_ms);
    start.note = "process start with the umockdev preload";
    report.add(start);
    const json &trivial = result.at("cases").back().at("runs");
    report.add(make_row("tool", "world: true", "CPU user+sys", "ms", cpu_ms(trivial)));
    report.add(make_row("tool", "world: true", "peak RSS", "KiB", field_ms(trivial, "maxrss_kib", 1)));
    Row transfer = make_row("tool", "world: one bus transfer", "umockdev round trip", "ms", transfer_ms);
    transfer.note = "sim-probe, 100 transfers against none";
    report.add(transfer);
    report.notes["tool"] = {
        "wall (own process): bench-timer around the program inside the world; limit = sum of its",
        "pauses: -status 200 identity + 5 x 100 + 300 battery = 1000 ms, -capbat 0 300 ms (plain,",
        "no identity), -vin 200 + 20 = 220 ms. Overhead = lateness of the pauses (timer and",
        "scheduler, about one umockdev round trip each) + time outside them (process start with the",
        "preload, reading the configuration, box output, exit). world round trip: as its caller sees it.",
    };
}

}  // namespace bench

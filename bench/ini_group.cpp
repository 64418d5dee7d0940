// SPDX-License-Identifier: GPL-2.0-or-later
// INI engine: one look-up and one change of a key at the end of files of
// 1 KiB, 1 MiB and a large size, done by our engine and by the libraries and
// the tool a user would pick instead. Every run is a process of its own, so
// its peak memory is its own.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/groups.hpp"
#include "bench/lib/estimates.hpp"
#include "bench/lib/ini_data.hpp"
#include "bench/lib/spawn.hpp"
#include "bench/lib/stats.hpp"
#include "bench/lib/timer_line.hpp"
#include "common/config/ini_store.hpp"

namespace bench {

namespace {

namespace fs = std::filesystem;

struct Engine {
    std::string name;
    // Command for a file (and a value, for a change); empty: the engine cannot.
    std::function<std::vector<std::string>(const std::string &, const std::string &)> command;
    bool shell = false;  // no call time of its own: the whole process counts
    std::string note;
};

struct Size {
    std::string label;
    size_t bytes;
};

struct Cell {
    std::vector<double> call_ms, wall_ms, rss_kib;
    std::vector<double> fsync_ms, unsynced_ms;  // writers that time their fsync calls
    std::string note;
    bool given_up = false;
    bool timed_out = false;
};

std::optional<long long> field(const std::string &out, const std::string &name) {
    const size_t at = out.find(name + "=");
    if (at == std::string::npos) return std::nullopt;
    return atoll(out.c_str() + at + name.size() + 1);
}

std::vector<Engine> readers(const Settings &s) {
    const std::string bin = s.bin_dir + "/";
    auto driver = [bin](const std::string &program) {
        return [bin, program](const std::string &file, const std::string &) {
            return std::vector<std::string>{bin + program, "get", file, kTargetSection, kTargetKey};
        };
    };
    return {
        {"ours", driver("ini-ours"), false, ""},
        {"inih", driver("ini-inih"), false, ""},
        {"iniparser", driver("ini-iniparser"), false, ""},
        {"crudini", [](const std::string &file, const std::string &) {
             return std::vector<std::string>{"sh", "-c", "crudini --get \"$1\" \"$2\" \"$3\"", "sh",
                                             file, kTargetSection, kTargetKey};
         }, true, "through sh, as users call it"},
    };
}

std::vector<Engine> writers(const Settings &s) {
    const std::string bin = s.bin_dir + "/";
    auto driver = [bin](const std::string &program) {
        return [bin, program](const std::string &file, const std::string &value) {
            return std::vector<std::string>{bin + program, "put", file, kTargetSection, kTargetKey, value};
        };
    };
    return {
        {"ours", driver("ini-ours"), false, ""},
        {"single pass", driver("ini-single-pass"), false, "reference: same change, every byte read once"},
        {"inih", nullptr, false, "inih has no writer"},
        {"iniparser", driver("ini-iniparser"), false, "dumps the whole dictionary; no fsync"},
        {"crudini", [](const std::string &file, const std::string &value) {
             return std::vector<std::string>{"sh", "-c", "crudini --set \"$1\" \"$2\" \"$3\" \"$4\"",
                                             "sh", file, kTargetSection, kTargetKey, value};
         }, true, "through sh, as users call it"},
    };
}

// Runs a command under bench-timer: a child forked from this (much larger)
// process would carry its size into its peak memory, since Linux keeps the
// high-water mark across exec; bench-timer is small.
RunStats run_timed(const Settings &settings, std::vector<std::string> argv) {
    argv.insert(argv.begin(), settings.bin_dir + "/bench-timer");
    RunStats r = run(argv, with_timeout(settings.ini_timeout));
    if (r.timed_out) return r;
    const auto fields = parse_timer_line(r.err);
    if (!fields) {
        r.status = -1;
        return r;
    }
    r.status = static_cast<int>(fields->at("status"));
    r.wall_s = static_cast<double>(fields->at("wall_ns")) / 1e9;
    r.maxrss_kib = static_cast<long>(fields->at("maxrss_kib"));
    return r;
}

// One measured run; false when it must not be repeated.
bool measure(const Settings &settings, const Engine &engine, const std::vector<std::string> &argv,
             const std::string &expected_file, long expected_value, bool reading, Cell &cell) {
    const RunStats r = run_timed(settings, argv);
    if (r.timed_out) {
        cell.note = "gave up: one run took over " + format_number(settings.ini_timeout) + " s";
        cell.timed_out = true;
        return false;
    }
    if (r.status != 0) {
        cell.note = "failed: status " + std::to_string(r.status) + " " + r.err.substr(0, 80);
        return false;
    }
    const long got = reading ? (engine.shell ? atol(r.out.c_str()) : field(r.out, "value").value_or(-1))
                             : ini_getl(kTargetSection, kTargetKey, -1, expected_file.c_str());
    if (got != expected_value) {
        cell.note = "wrong result: " + std::to_string(got) + " instead of " + std::to_string(expected_value);
        return false;
    }
    const auto ns = field(r.out, " ns");
    cell.call_ms.push_back(engine.shell || !ns ? r.wall_s * 1000 : static_cast<double>(*ns) / 1e6);
    if (const auto fsync_ns = field(r.out, "fsync_ns")) {
        cell.fsync_ms.push_back(static_cast<double>(*fsync_ns) / 1e6);
        cell.unsynced_ms.push_back(cell.call_ms.back() - cell.fsync_ms.back());
    }
    cell.wall_ms.push_back(r.wall_s * 1000);
    cell.rss_kib.push_back(static_cast<double>(r.maxrss_kib));
    return true;
}

// Rows of one engine; the medians of ours (the first engine) are the
// references of the others.
void add_rows(Report &report, const std::string &name, const Engine &engine, const Cell &cell,
              std::map<std::string, double> &ours) {
    if (!engine.command) {
        report.add(missing_row("ini", name, "call time", "ms", engine.note));
        return;
    }
    std::vector<std::pair<std::string, const std::vector<double> *>> metrics = {{"call time", &cell.call_ms}};
    if (!cell.fsync_ms.empty()) {
        metrics.emplace_back("  in fsync", &cell.fsync_ms);
        metrics.emplace_back("  outside fsync", &cell.unsynced_ms);
    }
    metrics.emplace_back("process wall", &cell.wall_ms);
    metrics.emplace_back("peak RSS", &cell.rss_kib);
    for (const auto &[metric, values] : metrics) {
        const std::string unit = metric == "peak RSS" ? "KiB" : "ms";
        if (values->empty()) {
            report.add(missing_row("ini", name, metric, unit, cell.note));
            continue;
        }
        Row row = make_row("ini", name, metric, unit, *values);
        if (metric == "call time") row.note = cell.note.empty() ? engine.note : cell.note;
        if (engine.name == "ours") {
            ours[metric] = row.stats.median;
        } else if (ours.count(metric)) {
            row.reference = ours[metric];
            row.reference_name = "ours";
        }
        report.add(row);
    }
}

// A run that cannot end within the limit is not started: reading the file
// takes at least time in proportion to its size, so the growth of the call
// time from the smallest file to the previous size, scaled up, is a lower
// bound for this one.
std::string predicted_too_slow(const Settings &settings, const Cell &smallest, const Cell &previous,
                               double growth) {
    if (smallest.call_ms.empty() || previous.call_ms.empty()) return "";
    const double predicted_s = scaled_lower_bound(summarize(smallest.call_ms).median,
                                                  summarize(previous.call_ms).median, growth) / 1000;
    if (predicted_s <= settings.ini_timeout) return "";
    return "not run: over " + format_number(predicted_s) + " s foreseen from the smaller files (limit " +
           format_number(settings.ini_timeout) + " s)";
}

const std::vector<double> *samples_of(const Report &report, const std::string &name,
                                      const std::string &metric = "call time") {
    const Row *row = report.find("ini | " + name + " | " + metric);
    return row != nullptr && row->stats.runs > 0 ? &row->samples : nullptr;
}

// What ini_puts pays for by design: fsync as timed inside each run, the
// same-value look-up as a look-up of its own, the copy as the rest.
std::string put_costs(const Report &report, const std::string &label) {
    const auto *full = samples_of(report, "put " + label + " / ours");
    const auto *synced = samples_of(report, "put " + label + " / ours", "  in fsync");
    const auto *unsynced = samples_of(report, "put " + label + " / ours", "  outside fsync");
    const auto *lookup = samples_of(report, "get " + label + " / ours");
    const auto *one_pass = samples_of(report, "put " + label + " / single pass", "  outside fsync");
    if (!full || !synced || !unsynced || !lookup || !one_pass) return "";
    const double look = summarize(*lookup).median;
    return "put " + label + ": ours " + format_number(summarize(*full).median) + " ms = fsync " +
           format_number(summarize(*synced).median) + " + same-value look-up ~" + format_number(look) +
           " + copy with re-reads ~" + format_number(summarize(*unsynced).median - look) +
           " ms; a one-pass copy takes " + format_number(summarize(*one_pass).median) + " ms";
}

}  // namespace

void run_ini_group(const Settings &settings, Report &report) {
    const std::string dir = settings.work_dir + "/ini";
    fs::remove_all(dir);
    fs::create_directories(dir);
    std::vector<Size> sizes = {{"1 KiB", 1024}, {"1 MiB", 1024 * 1024}};
    if (settings.big_mib > 0)
        sizes.push_back({std::to_string(settings.big_mib) + " MiB", static_cast<size_t>(settings.big_mib) << 20});

    // The floor every driver stands on: a process that does nothing.
    Cell floor;
    for (int r = 0; r < settings.runs; r++) {
        const RunStats s = run_timed(settings, {settings.bin_dir + "/ini-ours", "none"});
        floor.wall_ms.push_back(s.wall_s * 1000);
        floor.rss_kib.push_back(static_cast<double>(s.maxrss_kib));
    }
    report.add(make_row("ini", "empty driver process", "process wall", "ms", floor.wall_ms));
    report.add(make_row("ini", "empty driver process", "peak RSS", "KiB", floor.rss_kib));

    std::vector<std::string> notes;
    std::vector<std::pair<std::vector<Cell>, std::vector<Cell>>> results;  // per size: gets, puts
    for (const Size &size : sizes) {
        const std::string pristine = dir + "/bench-" + std::to_string(size.bytes) + ".ini";
        const std::string work = dir + "/work-" + std::to_string(size.bytes) + ".ini";
        const size_t bytes = generate_ini(pristine, size.bytes);
        notes.push_back(size.label + ": " + std::to_string(bytes) +
                        " bytes in sections of 8 keys (lines of about 40 bytes), the key last");
        const std::vector<Engine> gets = readers(settings), puts = writers(settings);
        std::vector<Cell> get_cells(gets.size()), put_cells(puts.size());
        if (!results.empty()) {
            const double growth = static_cast<double>(size.bytes) / sizes[results.size() - 1].bytes;
            for (size_t e = 0; e < gets.size(); e++) {
                get_cells[e].note = predicted_too_slow(settings, results.front().first[e],
                                                       results.back().first[e], growth);
                get_cells[e].given_up = !get_cells[e].note.empty();
            }
            for (size_t e = 0; e < puts.size(); e++) {
                put_cells[e].note = predicted_too_slow(settings, results.front().second[e],
                                                       results.back().second[e], growth);
                put_cells[e].given_up = !put_cells[e].note.empty();
            }
        }
        for (int r = 0; r < settings.runs; r++) {
            for (size_t e = 0; e < gets.size(); e++) {
                Cell &cell = get_cells[e];
                if (cell.given_up) continue;
                cell.given_up = !measure(settings, gets[e], gets[e].command(pristine, ""), pristine,
                                         kTargetValue, true, cell);
            }
            const std::string value = std::to_string(20000 + r);
            for (size_t e = 0; e < puts.size(); e++) {
                Cell &cell = put_cells[e];
                if (cell.given_up || !puts[e].command) continue;
                // A change starts with the same whole-file load as a look-up.
                for (size_t g = 0; g < gets.size(); g++)
                    if (gets[g].name == puts[e].name && get_cells[g].timed_out) {
                        cell.note = "not run: its look-up already took over " +
                                    format_number(settings.ini_timeout) + " s";
                        cell.given_up = true;
                    }
                if (cell.given_up) continue;
                fs::copy_file(pristine, work, fs::copy_options::overwrite_existing);
                cell.given_up = !measure(settings, puts[e], puts[e].command(work, value), work,
                                         atol(value.c_str()), false, cell);
            }
        }
        std::map<std::string, double> ours_get, ours_put;
        for (size_t e = 0; e < gets.size(); e++)
            add_rows(report, "get " + size.label + " / " + gets[e].name, gets[e], get_cells[e], ours_get);
        for (size_t e = 0; e < puts.size(); e++)
            add_rows(report, "put " + size.label + " / " + puts[e].name, puts[e], put_cells[e], ours_put);
        results.emplace_back(get_cells, put_cells);
        const std::string costs = put_costs(report, size.label);
        if (!costs.empty()) notes.push_back(costs);
        fs::remove(work);
    }
    report.notes["ini"] = {
        "call time: the one engine call timed inside its driver process (crudini: the whole",
        "process); process wall: fork to exit; peak RSS: ru_maxrss of that process (started from",
        "bench-timer, whose own ~1.1 MiB at the fork is the floor). Page cache warm.",
        "get: ini_getl / ini_parse with a callback / iniparser_load+getint / crudini --get.",
        "put: ini_puts (synced temporary copy, renamed) / iniparser load+set+dump / crudini --set.",
    };
    report.notes["ini"].insert(report.notes["ini"].end(), notes.begin(), notes.end());
}

}  // namespace bench

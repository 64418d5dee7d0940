// SPDX-License-Identifier: GPL-2.0-or-later
// The benchmark's results: rows of summarized measurements, printed as one
// table per group and kept as JSON so that a later run can be compared.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "bench/lib/stats.hpp"

namespace bench {

struct Row {
    std::string group;   // "tool", "daemon", "ini"
    std::string name;    // what ran: "bexo -status", "NUT", "get 1 MiB ours"
    std::string metric;  // what was measured of it: "wall", "CPU", "peak RSS"
    std::string unit;    // "ms", "us", "KiB", ...
    std::vector<double> samples;
    Summary stats;
    std::optional<double> reference;  // the ratio is median / reference
    std::string reference_name;       // "limit", "ours"
    std::string note;                 // why a figure is missing, or what it means

    std::optional<double> ratio() const;
    std::string key() const;  // group, name and metric: what --compare matches on
};

// A row from samples; fills stats.
Row make_row(std::string group, std::string name, std::string metric, std::string unit,
             std::vector<double> samples);
// A row that has no figure, only a note ("no writer", "timed out").
Row missing_row(std::string group, std::string name, std::string metric, std::string unit,
                std::string note);

struct Report {
    std::map<std::string, std::string> machine;   // load, cores, kernel
    std::map<std::string, std::string> settings;  // runs, sizes, windows
    std::map<std::string, std::vector<std::string>> notes;  // per group, printed above its table
    std::vector<Row> rows;

    void add(Row row) { rows.push_back(std::move(row)); }
    std::vector<const Row *> group(const std::string &name) const;
    const Row *find(const std::string &key) const;
};

nlohmann::json to_json(const Report &report);
Report from_json(const nlohmann::json &json);

// Figures with three significant digits at least and no exponent: 0.0123,
// 1.23, 123, 12345.
std::string format_number(double value);

// One table per group, in the order tool, daemon, ini (others after).
std::string format_tables(const Report &report);
// The change of each row's median against the row of the same key in `old`.
std::string format_comparison(const Report &now, const Report &old);

}  // namespace bench

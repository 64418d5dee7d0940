// SPDX-License-Identifier: GPL-2.0-or-later
#include "bench/lib/report.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <set>
#include <sstream>

namespace bench {

using nlohmann::json;

std::optional<double> Row::ratio() const {
    if (!reference || *reference == 0 || stats.runs == 0) return std::nullopt;
    return stats.median / *reference;
}

std::string Row::key() const { return group + " | " + name + " | " + metric; }

Row make_row(std::string group, std::string name, std::string metric, std::string unit,
             std::vector<double> samples) {
    Row row;
    row.group = std::move(group);
    row.name = std::move(name);
    row.metric = std::move(metric);
    row.unit = std::move(unit);
    row.stats = summarize(samples);
    row.samples = std::move(samples);
    return row;
}

Row missing_row(std::string group, std::string name, std::string metric, std::string unit,
                std::string note) {
    Row row = make_row(std::move(group), std::move(name), std::move(metric), std::move(unit), {});
    row.note = std::move(note);
    return row;
}

std::vector<const Row *> Report::group(const std::string &name) const {
    std::vector<const Row *> out;
    for (const Row &row : rows)
        if (row.group == name) out.push_back(&row);
    return out;
}

const Row *Report::find(const std::string &key) const {
    for (const Row &row : rows)
        if (row.key() == key) return &row;
    return nullptr;
}

json to_json(const Report &report) {
    json rows = json::array();
    for (const Row &row : report.rows) {
        json r = {{"group", row.group},       {"name", row.name},
                  {"metric", row.metric},     {"unit", row.unit},
                  {"runs", row.stats.runs},   {"samples", row.samples},
                  {"note", row.note}};
        if (row.stats.runs > 0) {
            r["median"] = row.stats.median;
            r["min"] = row.stats.min;
            r["max"] = row.stats.max;
        }
        if (row.reference) {
            r["reference"] = *row.reference;
            r["reference_name"] = row.reference_name;
        }
        if (auto ratio = row.ratio()) r["ratio"] = *ratio;
        rows.push_back(r);
    }
    return {{"format", "bexo-bench 1"},
            {"machine", report.machine},
            {"settings", report.settings},
            {"notes", report.notes},
            {"rows", rows}};
}

Report from_json(const json &j) {
    if (j.value("format", "") != "bexo-bench 1")
        throw std::runtime_error("not a bexo-bench result file");
    Report report;
    report.machine = j.value("machine", std::map<std::string, std::string>{});
    report.settings = j.value("settings", std::map<std::string, std::string>{});
    report.notes = j.value("notes", std::map<std::string, std::vector<std::string>>{});
    for (const json &r : j.at("rows")) {
        Row row = make_row(r.at("group"), r.at("name"), r.at("metric"), r.value("unit", ""),
                           r.value("samples", std::vector<double>{}));
        row.note = r.value("note", "");
        if (r.contains("reference")) {
            row.reference = r.at("reference").get<double>();
            row.reference_name = r.value("reference_name", "");
        }
        report.add(std::move(row));
    }
    return report;
}

std::string format_number(double value) {
    char text[64];
    const double magnitude = std::fabs(value);
    int decimals = 0;
    if (magnitude == 0) decimals = 0;
    else if (magnitude < 0.01) decimals = 5;
    else if (magnitude < 0.1) decimals = 4;
    else if (magnitude < 1) decimals = 3;
    else if (magnitude < 10) decimals = 2;
    else if (magnitude < 100) decimals = 1;
    snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

namespace {

std::string pad(const std::string &text, size_t width, bool right = false) {
    if (text.size() >= width) return text;
    const std::string fill(width - text.size(), ' ');
    return right ? fill + text : text + fill;
}

std::vector<std::string> group_order(const Report &report) {
    std::vector<std::string> order = {"tool", "daemon", "ini"};
    for (const Row &row : report.rows)
        if (std::find(order.begin(), order.end(), row.group) == order.end())
            order.push_back(row.group);
    return order;
}

const char *group_title(const std::string &group) {
    if (group == "tool") return "Tool latency in the simulated world";
    if (group == "daemon") return "Daemon idle cost";
    if (group == "ini") return "INI engine: one key near the end of the file";
    return group.c_str();
}

std::string ratio_text(const Row &row) {
    auto ratio = row.ratio();
    if (!ratio) return "";
    return format_number(*ratio) + " x " + row.reference_name;
}

}  // namespace

std::string format_tables(const Report &report) {
    std::ostringstream out;
    for (const std::string &group : group_order(report)) {
        auto rows = report.group(group);
        if (rows.empty()) continue;
        size_t name_width = 4, metric_width = 6;
        for (const Row *row : rows) {
            name_width = std::max(name_width, row->name.size());
            metric_width = std::max(metric_width, row->metric.size());
        }
        out << "\n== " << group_title(group) << "\n";
        auto notes = report.notes.find(group);
        if (notes != report.notes.end())
            for (const std::string &line : notes->second) out << "   " << line << "\n";
        out << pad("what", name_width) << "  " << pad("metric", metric_width) << "  "
            << pad("median", 10, true) << " " << pad("min", 10, true) << " "
            << pad("max", 10, true) << "  " << pad("unit", 9) << " " << pad("runs", 4, true)
            << "  " << pad("ratio", 16) << " note\n";
        std::string last_name;
        for (const Row *row : rows) {
            const bool has = row->stats.runs > 0;
            out << pad(row->name == last_name ? "" : row->name, name_width) << "  "
                << pad(row->metric, metric_width) << "  "
                << pad(has ? format_number(row->stats.median) : "-", 10, true) << " "
                << pad(has ? format_number(row->stats.min) : "-", 10, true) << " "
                << pad(has ? format_number(row->stats.max) : "-", 10, true) << "  "
                << pad(row->unit, 9) << " " << pad(std::to_string(row->stats.runs), 4, true)
                << "  " << pad(ratio_text(*row), 16) << " " << row->note << "\n";
            last_name = row->name;
        }
    }
    return out.str();
}

std::string format_comparison(const Report &now, const Report &old) {
    std::ostringstream out;
    out << "\n== Change against the earlier run (median, new against old)\n";
    size_t width = 10;
    for (const Row &row : now.rows) width = std::max(width, row.key().size());
    std::set<std::string> seen;
    for (const Row &row : now.rows) {
        seen.insert(row.key());
        const Row *before = old.find(row.key());
        out << pad(row.key(), width) << "  ";
        if (before == nullptr) {
            out << "new row\n";
            continue;
        }
        if (row.stats.runs == 0 || before->stats.runs == 0) {
            out << (before->stats.runs == 0 ? "-" : format_number(before->stats.median)) << " -> "
                << (row.stats.runs == 0 ? "-" : format_number(row.stats.median)) << " "
                << row.unit << "\n";
            continue;
        }
        out << format_number(before->stats.median) << " -> " << format_number(row.stats.median)
            << " " << row.unit;
        if (before->stats.median != 0) {
            char change[32];
            snprintf(change, sizeof change, "  %+.1f%%",
                     (row.stats.median / before->stats.median - 1) * 100);
            out << change;
        }
        out << "\n";
    }
    for (const Row &row : old.rows)
        if (!seen.count(row.key())) out << pad(row.key(), width) << "  gone from this run\n";
    return out.str();
}

}  // namespace bench

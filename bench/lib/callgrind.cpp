// SPDX-License-Identifier: GPL-2.0-or-later
#include "bench/lib/callgrind.hpp"

#include <cstdlib>
#include <functional>
#include <sstream>

namespace bench {

std::optional<uint64_t> callgrind_total(const std::string &dump_text) {
    std::istringstream lines(dump_text);
    std::string line;
    std::optional<uint64_t> summary;
    while (std::getline(lines, line)) {
        for (const char *tag : {"totals:", "summary:"}) {
            if (line.rfind(tag, 0) != 0) continue;
            const char *start = line.c_str() + std::string(tag).size();
            char *end = nullptr;
            const unsigned long long total = strtoull(start, &end, 10);
            if (end == start) continue;
            if (std::string(tag) == "totals:") return total;
            summary = total;
        }
    }
    return summary;
}

namespace {

// "(id) name" defines a compressed name, "(id)" refers to one, a plain name
// stands for itself.
std::string object_name(const std::string &field, std::map<std::string, std::string> &names) {
    if (field.empty() || field[0] != '(') return field;
    const size_t close = field.find(')');
    if (close == std::string::npos) return field;
    const std::string id = field.substr(0, close + 1);
    if (close + 1 < field.size()) names[id] = field.substr(field.find_first_not_of(' ', close + 1));
    return names[id];
}

bool is_cost_line(const std::string &line) {
    return !line.empty() && (isdigit(static_cast<unsigned char>(line[0])) || line[0] == '+' ||
                             line[0] == '-' || line[0] == '*');
}

}  // namespace

namespace {

// One cost line of a dump: the object it is charged to and, for the
// inclusive cost of a call, the object called (the caller itself when the
// call names none).
struct CostLine {
    const std::string &object;
    const std::string &callee;
    bool call;
    uint64_t cost;
};

void for_each_cost(const std::string &dump_text, const std::function<void(const CostLine &)> &visit) {
    std::map<std::string, std::string> names;
    std::string current, callee;
    bool callee_named = false, call_cost_next = false;
    std::istringstream lines(dump_text);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind("ob=", 0) == 0) {
            current = object_name(line.substr(3), names);
        } else if (line.rfind("cob=", 0) == 0) {
            callee = object_name(line.substr(4), names);
            callee_named = true;
        } else if (line.rfind("calls=", 0) == 0) {
            call_cost_next = true;
        } else if (is_cost_line(line)) {
            std::istringstream fields(line);
            std::string position;
            unsigned long long cost = 0;
            const bool parsed = static_cast<bool>(fields >> position >> cost);
            const bool call = call_cost_next;
            const std::string target = call && callee_named ? callee : current;
            if (call) {
                call_cost_next = false;
                callee_named = false;
            }
            if (parsed) visit(CostLine{current, target, call, cost});
        }
    }
}

}  // namespace

std::map<std::string, uint64_t> callgrind_self_by_object(const std::string &dump_text) {
    std::map<std::string, uint64_t> self;
    for_each_cost(dump_text, [&](const CostLine &c) {
        if (!c.call) self[c.object] += c.cost;  // a call's cost is the callee's inclusive cost
    });
    return self;
}

uint64_t callgrind_share_of(const std::string &dump_text, const std::string &needle) {
    uint64_t share = 0;
    auto ours = [&](const std::string &object) { return object.find(needle) != std::string::npos; };
    for_each_cost(dump_text, [&](const CostLine &c) {
        // A call out of the object counts whole; one inside it is already in
        // the callee's own lines.
        if (c.call ? ours(c.object) && !ours(c.callee) : ours(c.object)) share += c.cost;
    });
    return share;
}

}  // namespace bench

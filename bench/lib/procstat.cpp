// SPDX-License-Identifier: GPL-2.0-or-later
#include "bench/lib/procstat.hpp"

#include <dirent.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

namespace bench {

ProcSample &ProcSample::operator+=(const ProcSample &other) {
    cpu_ns += other.cpu_ns;
    voluntary += other.voluntary;
    nonvoluntary += other.nonvoluntary;
    hwm_kib += other.hwm_kib;
    tasks += other.tasks;
    return *this;
}

std::string read_text(const std::string &path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::optional<uint64_t> parse_schedstat(const std::string &text) {
    char *end = nullptr;
    const unsigned long long ns = strtoull(text.c_str(), &end, 10);
    if (end == text.c_str()) return std::nullopt;
    return ns;
}

ProcSample parse_status(const std::string &text) {
    ProcSample s;
    std::istringstream lines(text);
    std::string line;
    auto value_of = [](const std::string &l) {
        return strtoull(l.c_str() + l.find(':') + 1, nullptr, 10);
    };
    while (std::getline(lines, line)) {
        if (line.rfind("voluntary_ctxt_switches:", 0) == 0) s.voluntary = value_of(line);
        else if (line.rfind("nonvoluntary_ctxt_switches:", 0) == 0) s.nonvoluntary = value_of(line);
        else if (line.rfind("VmHWM:", 0) == 0) s.hwm_kib = value_of(line);
    }
    return s;
}

std::optional<pid_t> parse_ppid(const std::string &stat_text) {
    const size_t close = stat_text.rfind(')');
    if (close == std::string::npos) return std::nullopt;
    std::istringstream fields(stat_text.substr(close + 1));
    std::string state;
    long ppid = 0;
    if (!(fields >> state >> ppid)) return std::nullopt;
    return static_cast<pid_t>(ppid);
}

namespace {

std::vector<std::string> entries(const std::string &dir) {
    std::vector<std::string> names;
    DIR *d = opendir(dir.c_str());
    if (d == nullptr) return names;
    while (dirent *e = readdir(d))
        if (e->d_name[0] != '.') names.push_back(e->d_name);
    closedir(d);
    return names;
}

}  // namespace

std::optional<ProcSample> sample_process(pid_t pid) {
    const std::string base = "/proc/" + std::to_string(pid);
    const std::string status = read_text(base + "/status");
    if (status.empty()) return std::nullopt;
    ProcSample total;
    total.hwm_kib = parse_status(status).hwm_kib;  // per process, not per thread
    for (const std::string &tid : entries(base + "/task")) {
        const std::string task = base + "/task/" + tid;
        ProcSample t = parse_status(read_text(task + "/status"));
        t.hwm_kib = 0;
        t.cpu_ns = parse_schedstat(read_text(task + "/schedstat")).value_or(0);
        t.tasks = 1;
        total += t;
    }
    return total;
}

std::vector<pid_t> with_descendants(pid_t pid) {
    std::multimap<pid_t, pid_t> children;
    for (const std::string &name : entries("/proc")) {
        char *end = nullptr;
        const long p = strtol(name.c_str(), &end, 10);
        if (*end != '\0') continue;
        if (auto ppid = parse_ppid(read_text("/proc/" + name + "/stat")))
            children.emplace(*ppid, static_cast<pid_t>(p));
    }
    std::vector<pid_t> out = {pid};
    for (size_t i = 0; i < out.size(); i++) {
        auto range = children.equal_range(out[i]);
        for (auto it = range.first; it != range.second; ++it) out.push_back(it->second);
    }
    return out;
}

}  // namespace bench

// SPDX-License-Identifier: GPL-2.0-or-later
// What an idle process costs, read from /proc: time on the CPU, how often it
// was switched in, and its peak resident memory. Every thread is counted.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace bench {

struct ProcSample {
    uint64_t cpu_ns = 0;         // user + system time on the CPU (schedstat)
    uint64_t voluntary = 0;      // context switches while waiting: wake-ups
    uint64_t nonvoluntary = 0;   // preemptions
    uint64_t hwm_kib = 0;        // VmHWM: peak resident set
    int tasks = 0;

    ProcSample &operator+=(const ProcSample &other);
};

// First field of /proc/<pid>/task/<tid>/schedstat: nanoseconds on the CPU.
std::optional<uint64_t> parse_schedstat(const std::string &text);
// "voluntary_ctxt_switches", "nonvoluntary_ctxt_switches" and "VmHWM" of a
// /proc/.../status text; fields that are absent stay 0.
ProcSample parse_status(const std::string &text);
// Parent pid from a /proc/<pid>/stat text (the command may hold blanks and
// parentheses).
std::optional<pid_t> parse_ppid(const std::string &stat_text);

// Sum over the threads of one process; nothing when it has gone.
std::optional<ProcSample> sample_process(pid_t pid);
// The process and all its descendants found in /proc now.
std::vector<pid_t> with_descendants(pid_t pid);

std::string read_text(const std::string &path);  // "" when unreadable

}  // namespace bench

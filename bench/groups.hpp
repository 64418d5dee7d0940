// SPDX-License-Identifier: GPL-2.0-or-later
// The three groups of measurements that bexo-bench runs; each adds its rows
// and notes to the report.
#pragma once

#include <string>

#include "bench/lib/report.hpp"

namespace bench {

struct Settings {
    int runs = 7;                  // repetitions of every tool and INI measurement
    int big_mib = 64;              // size of the largest INI file; 0 leaves it out
    double ini_timeout = 30;       // seconds one INI run may take before it is given up
    int windows = 5;               // daemon measurement windows
    double window_seconds = 6;
    double warmup_seconds = 4;     // before the first window
    bool callgrind = true;         // instruction counts for the daemons
    std::string bin_dir;           // build-bench/bench
    std::string work_dir;          // scratch files, inside build-bench
    std::string peers_root;        // unpacked NUT and apcupsd packages
    std::string config;            // the configuration the programs read
};

void run_tool_group(const Settings &settings, Report &report);
void run_daemon_group(const Settings &settings, Report &report);
void run_ini_group(const Settings &settings, Report &report);

}  // namespace bench

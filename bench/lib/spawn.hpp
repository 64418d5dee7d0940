// SPDX-License-Identifier: GPL-2.0-or-later
// Running the programs under measurement: one-shot runs with their resource
// use (wait4), and long-running ones that are talked to or only watched.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace bench {

struct RunStats {
    int status = -1;          // exit status; 128 + signal when killed
    bool timed_out = false;
    double wall_s = 0;        // fork to reaping
    double user_s = 0;
    double sys_s = 0;
    long maxrss_kib = 0;      // peak resident set of the child and its reaped descendants
    long voluntary = 0;
    long nonvoluntary = 0;
    std::string out;
    std::string err;
};

struct SpawnOptions {
    double timeout = 120;                  // seconds; then the process group is killed
    std::vector<std::string> unset_env;    // names removed from the environment
    std::vector<std::string> set_env;      // "NAME=value"
    std::string input;                     // written to standard input
};

SpawnOptions with_timeout(double seconds);

// Runs argv[0] (searched on PATH) to its end in a process group of its own.
RunStats run(const std::vector<std::string> &argv, const SpawnOptions &options = {});

// A process that runs while others are measured.
class Child {
public:
    // `log_path` receives standard output and error unless `talk` is set, in
    // which case standard input and output are pipes for send() and line().
    Child(const std::vector<std::string> &argv, const SpawnOptions &options,
          const std::string &log_path, bool talk = false);
    ~Child();
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;

    pid_t pid() const { return pid_; }
    bool running();
    void send(const std::string &text);
    std::optional<std::string> line(double timeout);  // next line of output, without "\n"
    // SIGTERM, then SIGKILL after `grace` seconds; the exit status.
    int stop(double grace = 5);
    std::optional<int> wait(double timeout);

private:
    pid_t pid_ = -1;
    int in_ = -1;
    int out_ = -1;
    std::string buffered_;
    std::optional<int> status_;
};

double monotonic_seconds();
void sleep_seconds(double seconds);

}  // namespace bench

// SPDX-License-Identifier: GPL-2.0-or-later
// Starting programs inside the world and collecting their output and exit
// status; reaping every descendant that is reparented to this process.
#pragma once

#include <sys/types.h>

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "sim/world.hpp"

namespace sim {

// How a non-root run gets its uid: as real root by switching to nobody, in a
// user namespace by a nested one that maps a non-zero uid to ours.
enum class UserSwitch { Setresuid, NestedNamespace };

UserSwitch user_switch_for_this_process();

struct Spawn {
    std::string path;                // resolved program
    std::vector<std::string> argv;
    std::vector<std::string> env;    // "NAME=value"
    RunOptions options;
    UserSwitch user_switch = UserSwitch::Setresuid;
};

class Processes {
public:
    Result run(const Spawn &spawn);
    std::optional<int> wait_exit(pid_t pid, double timeout);
    void reap();            // collect every exited child's status
    void kill_all();        // SIGKILL to every child until none is left

private:
    std::optional<int> take(pid_t pid);
    // A test may wait on the record in one thread while another runs a
    // program: both reap.
    std::mutex m_;
    std::map<pid_t, int> statuses_;  // exit status, 128 + signal when killed
};

// The program a name stands for on `path_list` (colon-separated), or the
// name itself when it holds a slash or is not found.
std::string resolve_program(const std::string &name, const std::string &path_list);

}  // namespace sim

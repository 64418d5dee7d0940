// SPDX-License-Identifier: GPL-2.0-or-later
// The world's private file system: scratch folders bound over /opt,
// /var/log, /run, /etc/systemd/system and /lib/systemd/system inside this
// process's own mount namespace, so the programs use their real paths and
// nothing outside changes.
#pragma once

#include <string>
#include <vector>

namespace sim {

class Mounts {
public:
    // Binds scratch/<name> over each target; makes scratch itself.
    explicit Mounts(const std::string &scratch);
    ~Mounts();
    Mounts(const Mounts &) = delete;
    Mounts &operator=(const Mounts &) = delete;

    // Binds the file `source` over the existing file `target`.
    void bind_file(const std::string &source, const std::string &target);

private:
    void bind_over(const std::string &source, const std::string &target);
    void mirror(const std::string &dir);

    std::string scratch_;
    std::vector<std::string> mounted_;  // in mount order
    int mirrors_ = 0;
};

}  // namespace sim

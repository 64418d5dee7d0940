// SPDX-License-Identifier: GPL-2.0-or-later
// The i2c-dev nodes of the world: a umockdev testbed whose /dev/i2c-0 and
// /dev/i2c-1 pass every ioctl, read and write to the board model, the way
// the kernel's i2c-dev driver would, and record them.
#pragma once

#include <memory>
#include <string>

#include "sim/board.hpp"
#include "sim/recorder.hpp"

namespace sim {

class Bus {
public:
    // Creates the testbed (umockdev sets UMOCKDEV_DIR for this process).
    Bus(Recorder &recorder, Board &board, const Options &options);
    ~Bus();
    Bus(const Bus &) = delete;
    Bus &operator=(const Bus &) = delete;

    std::string root() const;  // testbed root: its dev/, sys/, proc/ overlay the real ones

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace sim

// SPDX-License-Identifier: GPL-2.0-or-later
// /sys/class/gpio as the kernel's sysfs GPIO interface offers it, served by
// a FUSE file system from a thread of this process. Line base + 27 is wired
// to the board's event line; every other line reads 0 as an input. An edge
// armed on the event line while it is an input wakes poll() on its value
// files with POLLPRI|POLLERR, as sysfs does.
#pragma once

#include <memory>
#include <string>

#include "sim/board.hpp"
#include "sim/recorder.hpp"
#include "sim/world.hpp"

namespace sim {

class GpioFs {
public:
    static constexpr int NGPIO = 54;
    static constexpr int EVENT_LINE = 27;

    // Mounts at `mountpoint` (which must exist) and starts serving.
    GpioFs(Recorder &recorder, Board &board, int base, GpioEdge edge, const std::string &mountpoint);
    ~GpioFs();
    GpioFs(const GpioFs &) = delete;
    GpioFs &operator=(const GpioFs &) = delete;

    World::GpioLine line(int number) const;  // kernel line number
    void hide_value_until(double t);          // recorder time
    void spike_line();                        // the event line rises and falls at once

    struct Impl;

private:
    Board &board_;
    std::unique_ptr<Impl> impl_;
};

}  // namespace sim

// SPDX-License-Identifier: GPL-2.0-or-later
// The world's ordered, time-stamped event record, shared by the bus, the
// GPIO file system, the shim server and the test.
#pragma once

#include <chrono>
#include <mutex>

#include "sim/world.hpp"

namespace sim {

class Recorder {
public:
    Recorder() : start_(std::chrono::steady_clock::now()) {}

    double now() const {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    }

    // Stamps the event with the current time, so the record stays in order.
    void add(Event e) {
        std::lock_guard l(m_);
        e.t = now();
        events_.push_back(std::move(e));
    }

    // Runs `act` (a system call whose result it writes into the event) under
    // the record's lock, so whatever the call sets off in another thread of
    // the world is recorded after the event.
    template <typename Act>
    void add_around(Event e, Act act) {
        std::lock_guard l(m_);
        e.t = now();
        act(e);
        events_.push_back(std::move(e));
    }

    Events snapshot() const {
        std::lock_guard l(m_);
        return events_;
    }

    size_t size() const {
        std::lock_guard l(m_);
        return events_.size();
    }

private:
    const std::chrono::steady_clock::time_point start_;
    mutable std::mutex m_;
    Events events_;
};

}  // namespace sim

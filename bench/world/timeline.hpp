// SPDX-License-Identifier: GPL-2.0-or-later
// When a program in the world talked to the board, from the world's record.
#pragma once

#include <cstddef>

#include "sim/world.hpp"

namespace bench {

// Bus transfers that each take one round trip to the world (opening the
// node stays inside the process).
bool is_transfer(const sim::Event &e);
size_t transfers_since(const sim::Events &events, size_t from);

struct Timeline {
    double pauses = 0;  // each request to the reply read that follows it
    double first = -1;  // first and last transfer; -1 without any
    double last = -1;
};

// A pause as taken holds the pause, its lateness and about one round trip.
Timeline timeline_since(const sim::Events &events, size_t from);

// How often a daemon woke from its idle pause: each read of the event line
// starts a cycle, and a bus transfer after at least `quiet` seconds without
// any bus or GPIO event is a wake-up of its own (a reading between cycles).
// The waits inside one exchange (at most 0.3 s) are shorter than `quiet`.
size_t wakeups(const sim::Events &events, double quiet);

}  // namespace bench

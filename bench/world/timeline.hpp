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

}  // namespace bench

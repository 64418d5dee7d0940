// SPDX-License-Identifier: GPL-2.0-or-later
#include "bench/world/timeline.hpp"

namespace bench {

bool is_transfer(const sim::Event &e) {
    switch (e.kind) {
    case sim::Kind::I2cBind:
    case sim::Kind::SmbusByteWrite:
    case sim::Kind::Smbus:
    case sim::Kind::Write:
    case sim::Kind::Read:
        return true;
    default:
        return false;
    }
}

size_t transfers_since(const sim::Events &events, size_t from) {
    size_t count = 0;
    for (size_t i = from; i < events.size(); i++) count += is_transfer(events[i]);
    return count;
}

Timeline timeline_since(const sim::Events &events, size_t from) {
    Timeline tl;
    double request = -1;
    for (size_t i = from; i < events.size(); i++) {
        const sim::Event &e = events[i];
        if (!is_transfer(e)) continue;
        if (tl.first < 0) tl.first = e.t;
        tl.last = e.t;
        if (sim::is_board_write(e)) {
            request = e.t;
        } else if (e.kind == sim::Kind::Read && request >= 0) {
            tl.pauses += e.t - request;
            request = -1;
        }
    }
    return tl;
}

size_t wakeups(const sim::Events &events, double quiet) {
    size_t count = 0;
    double last = -1;
    for (const sim::Event &e : events) {
        if (e.kind == sim::Kind::GpioValueRead) {
            count++;
        } else if (sim::is_bus(e) && (last < 0 || e.t - last >= quiet)) {
            count++;
        } else if (!sim::is_bus(e) && !sim::is_gpio(e)) {
            continue;
        }
        last = e.t;
    }
    return count;
}

}  // namespace bench

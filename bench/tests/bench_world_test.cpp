// SPDX-License-Identifier: GPL-2.0-or-later
// The tool's time line as read from the world's record.
#include <gtest/gtest.h>

#include "bench/world/timeline.hpp"

namespace {

sim::Event event(double t, sim::Kind kind) {
    sim::Event e;
    e.t = t;
    e.kind = kind;
    e.to_board = true;
    return e;
}

TEST(Timeline, PausesRunFromEachRequestToItsReplyRead) {
    using sim::Kind;
    const sim::Events events = {
        event(0.5, Kind::Note),            // before the run: skipped by `from`
        event(1.0, Kind::I2cOpen),         // stays in the process
        event(1.001, Kind::I2cBind),
        event(1.002, Kind::SmbusByteWrite),
        event(1.205, Kind::Read),          // identity: 203 ms
        event(1.206, Kind::GpioValueRead),  // not a bus transfer
        event(1.210, Kind::Write),
        event(1.230, Kind::Write),         // resent before any read: only the last counts
        event(1.532, Kind::Read),          // 302 ms
        event(1.540, Kind::Read),          // a read without a request
    };
    const bench::Timeline tl = bench::timeline_since(events, 1);
    EXPECT_NEAR(tl.pauses, 0.203 + 0.302, 1e-9);
    EXPECT_DOUBLE_EQ(tl.first, 1.001);
    EXPECT_DOUBLE_EQ(tl.last, 1.540);
    EXPECT_EQ(bench::transfers_since(events, 1), 7u);
}

TEST(Timeline, WakeupsAreCyclesAndTransfersAfterQuiet) {
    using sim::Kind;
    const sim::Events events = {
        event(1.0, Kind::GpioValueRead),     // a cycle
        event(1.001, Kind::SmbusByteWrite),  // and the reading right after it
        event(1.301, Kind::Read),            // 0.3 s: the wait of one exchange
        event(1.302, Kind::Note),            // not the daemon's
        event(2.0, Kind::GpioValueRead),     // next cycle
        event(9.0, Kind::Note),
        event(12.0, Kind::SmbusByteWrite),   // a reading on its own
        event(12.1, Kind::Read),
        event(12.2, Kind::GpioExport),       // GPIO but not a cycle
    };
    EXPECT_EQ(bench::wakeups(events, 0.35), 3u);
    EXPECT_EQ(bench::wakeups(events, 0.25), 4u);
    EXPECT_EQ(bench::wakeups({}, 0.35), 0u);
}

TEST(Timeline, NoTransfersLeavesTheTimesUnset) {
    const bench::Timeline tl = bench::timeline_since({event(1, sim::Kind::Note)}, 0);
    EXPECT_EQ(tl.pauses, 0);
    EXPECT_LT(tl.first, 0);
    EXPECT_LT(tl.last, 0);
}

}  // namespace

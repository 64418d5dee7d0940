// SPDX-License-Identifier: GPL-2.0-or-later
#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "daemon/daemon_state.hpp"

namespace {

struct SplitCase {
    const char *text;
    std::vector<uint8_t> fields;
};

TEST(DaemonTimeText, FieldsAreSplitAtColonsReadLikeAtoiAndCutToEightBits) {
    const SplitCase cases[] = {
        {"07:30:00", {7, 30, 0}},
        {"22:15:07", {22, 15, 7}},
        {"25:99:300", {25, 99, 44}},
        {"::07:::30:", {7, 30}},
        {"", {}},
        {"ab:1x:-1", {0, 1, 255}},
        {" 7: +8", {7, 8}},
        // Beyond 32 bits atoi saturates on the target; the low byte of that is 0xFF.
        {"4294967340:2147483647", {255, 255}},
    };
    for (const SplitCase &c : cases) {
        SCOPED_TRACE(c.text);
        std::array<uint8_t, 10> fields{};
        int count = split_time_text(c.text, fields.data(), static_cast<int>(fields.size()));
        ASSERT_EQ(count, static_cast<int>(c.fields.size()));
        EXPECT_TRUE(std::equal(c.fields.begin(), c.fields.end(), fields.begin()));
    }
}

TEST(DaemonTimeText, FieldsBeyondTheBufferAreIgnored) {
    std::array<uint8_t, 12> fields{};
    fields.fill(0xAA);
    int count = split_time_text("1:2:3:4:5:6:7:8:9:10:11:12", fields.data(), 9);
    EXPECT_EQ(count, 9);
    for (int i = 0; i < 9; ++i) {
        EXPECT_EQ(fields[i], i + 1);
    }
    EXPECT_EQ(fields[9], 0xAA);
    EXPECT_EQ(fields[10], 0xAA);
}

TEST(DaemonSettings, MissingNegativeOrZeroSleepPausesOneSecond) {
    const int32_t values[][2] = {{-1, 1}, {-100, 1}, {0, 1}, {1, 1}, {30, 30}};
    for (const auto &pair : values) {
        sleepval = pair[0];
        EXPECT_EQ(cycle_pause_seconds(), static_cast<uint32_t>(pair[1])) << pair[0];
    }
}

TEST(DaemonSettings, CountdownSecondsLeftStayWithin32Bits) {
    const int32_t cases[][3] = {{30, 4, 26}, {-1, 3, -4}, {INT32_MIN, 1, INT32_MIN}, {INT32_MAX, -1, INT32_MAX}};
    for (const auto &c : cases) EXPECT_EQ(countdown_seconds_left(c[0], c[1]), c[2]) << c[0] << " " << c[1];
}

}  // namespace

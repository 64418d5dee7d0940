// SPDX-License-Identifier: GPL-2.0-or-later
#include <gtest/gtest.h>

#include "common/config/time_of_day.hpp"
#include "tool/value_checks.hpp"

namespace {

TEST(ToolValueChecks, AddressMustBeFourCharacterHexWithinTheSevenBitRange) {
    for (const char *accepted : {"0x00", "0x0F", "0X0f", "0x77", "0x70", "0x6F", "0x5e"}) {
        EXPECT_TRUE(ishex(accepted)) << accepted;
    }
    for (const char *refused :
         {"0x78", "0x7F", "0x7f", "0x80", "0x0F0", "15", "0x", "", "0x8", "1x0F", "0y0F", "0x0G",
          "0x-1", " 0x0F", "0xaB", "0x8F"}) {
        EXPECT_FALSE(ishex(refused)) << refused;
    }
}

TEST(ToolValueChecks, TimeMustBeExactlyHoursMinutesSecondsUpToTwentyFour) {
    for (const char *accepted : {"00:00:00", "07:30:00", "19:59:59", "23:59:59", "24:00:00",
                                 "24:59:59"}) {
        EXPECT_EQ(validate(accepted), 0) << accepted;
    }
    for (const char *refused :
         {"25:00:00", "7:30:00", "07:60:00", "07:30:0a", "07:30:00x", "0/:00:00", "30:00:00",
          "07-30-00", "07:30:60", "", "07:30", "ab:cd:ef", "07:3 :00"}) {
        EXPECT_EQ(validate(refused), -1) << refused;
    }
}

}  // namespace

// SPDX-License-Identifier: GPL-2.0-or-later
// bexo's status box and reading options: the exact lines, plain output, the
// bytes on the bus and the pause before each reply.

#include <future>

#include "tests/system/tool_support.hpp"

namespace {

using namespace tool_test;
using World = tool_test::ToolWorld;

// ------------------------------------------------------------ -status

struct StatusCase {
    const char *name;
    const char *golden;
    std::string config;
    std::function<void(sim::Board &)> board;
};

void PrintTo(const StatusCase &c, std::ostream *os) { *os << c.name; }

class ToolStatusBox : public testing::TestWithParam<StatusCase> {};

TEST_P(ToolStatusBox, MatchesTheGoldenFile) {
    const auto &c = GetParam();
    World w;
    w.set_config(c.config);
    if (c.board) c.board(w.board());
    const auto r = w.bexo({"-status"}, fixed_clock());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, golden(c.golden));
    const auto t = traffic(w);
    ASSERT_EQ(t.size(), 2u + 4u + 12u) << testing::PrintToString(t);
    EXPECT_EQ(Traffic(t.begin(), t.begin() + 5), join({START, {"open /dev/i2c-1", "bind 0x36", "smbus 22"}}));
    expect_pauses(w, {{"22", 0.2}, {"36", 0.1}, {"35", 0.1}, {"d0", 0.1}, {"23", 0.3}, {"d2", 0.1}, {"d1", 0.1}});
    std::vector<size_t> reply_lengths;
    for (const auto &e : w.events())
        if (e.kind == sim::Kind::Read) reply_lengths.push_back(e.bytes.size());
    EXPECT_EQ(reply_lengths, (std::vector<size_t>{5, 3, 3, 3, 6, 6, 6}));
    EXPECT_EQ(w.config(), c.config);
}

INSTANTIATE_TEST_SUITE_P(
    Boards, ToolStatusBox,
    testing::Values(
        StatusCase{"Defaults", "status_default.txt", DEFAULT_CONFIG, nullptr},
        // Flags in the box look at the low 8 bits (257 is on); autostart at the whole value.
        StatusCase{"SettingsOnBatteryCharger1000mAFull", "status_settings.txt",
                   "[General]\naddress=0x36\nmail=257\ntimed_boot=1\ntime_boot=07:30:00\n"
                   "timed_shutdown=1\ntime_shutdown=22:15:00\ntimer=30\nautostart=257\nsleep=5\n",
                   [](sim::Board &b) {
                       b.set_model(4);
                       b.set_firmware(2, 3);
                       b.set_on_battery(true);
                       b.set_charger(false, 0);
                       b.set_input_mv(4870);
                       b.set_battery(782);
                       b.set_battery_current(600);
                       b.set_extern_ma(0);
                   }},
        // Values the daemon cannot read show as it takes them: missing.
        StatusCase{"BasicBoardWithoutReadings", "status_not_available.txt",
                   "[General]\naddress=0x36\nautostart=1\nsleep=abc\nmail=256\ntimer=30s\n",
                   [](sim::Board &b) {
                       b.set_model(1);
                       b.set_charger(true, 3);
                       b.set_input_mv(500);
                       b.set_battery(760, 2);
                       b.set_battery_current(600, 2);
                   }},
        StatusCase{"UnknownModelEmptyBattery", "status_unknown_model.txt", DEFAULT_CONFIG,
                   [](sim::Board &b) {
                       b.set_model(2);
                       b.set_charger(true, 2);
                       b.set_input_mv(12340);
                       b.set_battery(670, 0, 0x1234);
                       b.set_battery_current(0);
                       b.set_extern_ma(65535);
                   }}),
    [](const auto &info) { return std::string(info.param.name); });

// ---------------------------------------------- -vin -pwrext -pwrbat -capbat

struct ReadingCase {
    const char *name;
    const char *option;
    std::function<void(sim::Board &)> board;
    std::string lines;   // the option's own lines inside the box
    std::string plain;   // with a second word
    std::string request;
    std::string reply;
    double wait;
};

void PrintTo(const ReadingCase &c, std::ostream *os) { *os << c.name; }

class ToolReading : public testing::TestWithParam<ReadingCase> {};

TEST_P(ToolReading, BoxedAndPlainOutputWithItsExchange) {
    const auto &c = GetParam();
    {
        World w;
        if (c.board) c.board(w.board());
        const auto r = w.bexo({c.option}, fixed_clock());
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, boxed(c.lines));
        EXPECT_EQ(traffic(w), join({START, IDENTITY, {"write " + c.request, "read " + c.reply}}));
        expect_pauses(w, {{"22", 0.2}, {c.request, c.wait}});
    }
    for (const char *word : {"0", "x"}) {
        SCOPED_TRACE(word);
        World w;
        if (c.board) c.board(w.board());
        const auto r = w.bexo({c.option, word});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, c.plain);
        EXPECT_EQ(traffic(w), join({START, {"write " + c.request, "read " + c.reply}}));
        expect_pauses(w, {{c.request, c.wait}});
    }
}

std::function<void(sim::Board &)> battery(int raw, int state = 0) {
    return [=](sim::Board &b) { b.set_battery(raw, state); };
}

INSTANTIATE_TEST_SUITE_P(
    Options, ToolReading,
    testing::Values(
        ReadingCase{"Vin", "-vin", nullptr, "* Voltage in: 5.10 V           *\n", "5.10\n", "d0", "d0 ec 13", 0.02},
        ReadingCase{"VinHalfVolt", "-vin", [](sim::Board &b) { b.set_input_mv(500); },
                    "* Voltage in: 0.50 V           *\n", "0.50\n", "d0", "d0 f4 01", 0.02},
        ReadingCase{"Pwrext", "-pwrext", nullptr, "* Power Extern: 350.00 mA       *\n", "350.00\n", "d1",
                    "d1 5e 01 00 00 00", 0.02},
        ReadingCase{"PwrextZero", "-pwrext", [](sim::Board &b) { b.set_extern_ma(0); },
                    "* Power Extern: 000.00 mA      *\n", "000.00\n", "d1", "d1 00 00 00 00 00", 0.02},
        ReadingCase{"Pwrbat600", "-pwrbat", [](sim::Board &b) { b.set_battery_current(600); },
                    "* Power Battery: 600.00 mA     *\n", "600.00\n", "d2", "d2 58 02 00 00 00", 0.02},
        ReadingCase{"PwrbatStateOneIsStillAReading", "-pwrbat", [](sim::Board &b) { b.set_battery_current(600, 1); },
                    "* Power Battery: 600.00 mA     *\n", "600.00\n", "d2", "d2 58 02 01 00 00", 0.02},
        ReadingCase{"PwrbatNotAvailable", "-pwrbat", [](sim::Board &b) { b.set_battery_current(600, 2); },
                    "* Power Battery: n/a           *\n", "n/a\n", "d2", "d2 58 02 02 00 00", 0.02},
        ReadingCase{"PwrbatZero", "-pwrbat", [](sim::Board &b) { b.set_battery_current(0); },
                    "* Power Battery: 000.00 mA     *\n", "000.00\n", "d2", "d2 00 00 00 00 00", 0.02},
        ReadingCase{"Capbat745", "-capbat", battery(745),
                    "* Battery capacity: 66.91%     *\n* Battery voltage: 4.00V       *\n", "66.91\n4.00\n", "23",
                    "23 e9 02 00 00 00", 0.3},
        ReadingCase{"Capbat782Full", "-capbat", battery(782),
                    "* Battery capacity: 100.00%    *\n* Battery voltage: 4.20V       *\n", "100.00\n4.20\n", "23",
                    "23 0e 03 00 00 00", 0.3},
        ReadingCase{"Capbat781", "-capbat", battery(781),
                    "* Battery capacity: 99.14%     *\n* Battery voltage: 4.19V       *\n", "99.14\n4.19\n", "23",
                    "23 0d 03 00 00 00", 0.3},
        ReadingCase{"Capbat671", "-capbat", battery(671),
                    "* Battery capacity: 0.67%     *\n* Battery voltage: 3.60V       *\n", "0.67\n3.60\n", "23",
                    "23 9f 02 00 00 00", 0.3},
        ReadingCase{"Capbat670Empty", "-capbat", battery(670),
                    "* Battery capacity: 0.00%    *\n* Battery voltage: 3.60V       *\n", "0.00\n3.60\n", "23",
                    "23 9e 02 00 00 00", 0.3},
        ReadingCase{"CapbatStateOneIsFull", "-capbat", battery(700, 1),
                    "* Battery capacity: 100.00%    *\n* Battery voltage: 4.20V       *\n", "100.00\n4.20\n", "23",
                    "23 bc 02 01 00 00", 0.3},
        ReadingCase{"CapbatStateTwoNotAvailable", "-capbat", battery(782, 2),
                    "* Battery capacity: n/a        *\n* Battery voltage: n/a        *\n", "n/a\nn/a\n", "23",
                    "23 0e 03 02 00 00", 0.3}),
    [](const auto &info) { return std::string(info.param.name); });

// The same battery readings inside -status, whose n/a voltage line has one
// more space than the one of -capbat.
TEST(ToolStatus, BatteryLinesFollowTheSameThresholds) {
    const struct {
        int raw, state;
        std::string capacity, voltage;
    } cases[] = {
        {782, 0, "* Battery capacity: 100.00%    *", "* Battery voltage: 4.20V       *"},
        {781, 0, "* Battery capacity: 99.14%     *", "* Battery voltage: 4.19V       *"},
        {671, 0, "* Battery capacity: 0.67%     *", "* Battery voltage: 3.60V       *"},
        {670, 0, "* Battery capacity: 0.00%    *", "* Battery voltage: 3.60V       *"},
        {700, 1, "* Battery capacity: 100.00%    *", "* Battery voltage: 4.20V       *"},
        {782, 2, "* Battery capacity: n/a        *", "* Battery voltage: n/a         *"},
    };
    World w;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.raw);
        w.board().set_battery(c.raw, c.state);
        std::string expected = golden("status_default.txt");
        expected = replace_line(expected, "* Battery capacity: 80.34%     *", c.capacity);
        expected = replace_line(expected, "* Battery voltage: 4.08V       *", c.voltage);
        EXPECT_EQ(w.bexo({"-status"}, fixed_clock()).out, expected);
    }
}

// ------------------------------------------------------------ model

std::string header_for_model(const std::string &model_line) {
    return replace_line(default_header(), "* Model: Advanced              *", model_line);
}

TEST(ToolReading, BasicBoardsShowNoExternalCurrentInTheirBox) {
    for (int code : {1, 5}) {
        SCOPED_TRACE(code);
        const std::string model_line =
            code == 1 ? "* Model: Basic                 *" : "* Model: Basic mobile          *";
        World w;
        w.board().set_model(code);
        const auto boxed_run = w.bexo({"-pwrext"}, fixed_clock());
        EXPECT_EQ(boxed_run.status, 0);
        EXPECT_EQ(boxed_run.out, boxed(header_for_model(model_line), "* Power Extern: n/a            *\n"));
        const std::string identity = "read 22 01 0c 0" + std::to_string(code) + " 00";
        EXPECT_EQ(traffic(w), join({START, {"open /dev/i2c-1", "bind 0x36", "smbus 22", identity}}))
            << "the board is not asked";
    }
}

TEST(ToolReading, PlainExternalCurrentUsesTheModelOfAnEarlierBoxOnly) {
    World w;
    w.board().set_model(1);
    const auto alone = w.bexo({"-pwrext", "0"});
    EXPECT_EQ(alone.out, "350.00\n") << "no box yet, so the model is still 0";
    EXPECT_EQ(traffic(w), join({START, {"write d1", "read d1 5e 01 00 00 00"}}));

    World after_box;
    after_box.board().set_model(1);
    const auto r = after_box.bexo({"-pwrext", "-pwrext", "0"}, fixed_clock());
    EXPECT_EQ(r.out, boxed(header_for_model("* Model: Basic                 *"), "* Power Extern: n/a            *\n") +
                         "n/a\n");
    EXPECT_EQ(after_box.board().seen(0xD1), 0);
}

// A box whose identity reply carries an unknown code keeps the model the
// box before it found: a Basic board stays without external current.
TEST(ToolReading, UnknownModelCodeKeepsTheModelFoundBefore) {
    World w;
    w.board().set_model(1);
    auto run = std::async(std::launch::async, [&] { return w.bexo({"-pwrext", "-pwrext"}, fixed_clock()); });
    const bool first_identity =
        w.wait_for_event([](const sim::Event &e) { return e.kind == sim::Kind::Read && !e.bytes.empty() && e.bytes[0] == 0x22; },
                         10).has_value();
    w.board().set_model(2);
    const auto r = run.get();
    ASSERT_TRUE(first_identity);
    const std::string na = "* Power Extern: n/a            *\n";
    EXPECT_EQ(r.out, boxed(header_for_model("* Model: Basic                 *"), na) +
                         boxed(header_for_model("* Model: -                  *"), na));
    EXPECT_EQ(traffic(w), join({START, {"open /dev/i2c-1", "bind 0x36", "smbus 22", "read 22 01 0c 01 00"},
                                {"open /dev/i2c-1", "bind 0x36", "smbus 22", "read 22 01 0c 02 00"}}));
}

TEST(ToolReading, UnknownModelCodeAloneStillMeasuresExternalCurrent) {
    World w;
    w.board().set_model(2);
    const auto r = w.bexo({"-pwrext"}, fixed_clock());
    EXPECT_EQ(r.out, boxed(header_for_model("* Model: -                  *"), "* Power Extern: 350.00 mA       *\n"));
}

// ------------------------------------------------------------ header

TEST(ToolReading, BoxTopShowsTheSettingsAsStoredNow) {
    World w;
    w.set_config("[General]\naddress=0x36\nmail=1\ntimed_boot=257\ntime_boot=06:00:00\n"
                 "timed_shutdown=2\ntime_shutdown=a long text that overflows the box\n");
    w.board().set_firmware(10, 255);
    std::string header = default_header();
    header = replace_line(header, "* Firmware Version: 1.12       *", "* Firmware Version: 10.255       *");
    header = replace_line(header, "* Mail notification: Disabled  *", "* Mail notification: Enabled   *");
    header = replace_line(header, "* Timed Boot: Disabled         *", "* Timed Boot: Enabled          *");
    header = replace_line(header, "* Boot time:           *", "* Boot time: 06:00:00          *");
    header = replace_line(header, "* Shutdown time:       *",
                          "* Shutdown time: a long text that overflows the box      *");
    EXPECT_EQ(w.bexo({"-vin"}, fixed_clock()).out, boxed(header, "* Voltage in: 5.10 V           *\n"));
}

}  // namespace

// SPDX-License-Identifier: GPL-2.0-or-later
// bexo's exchanges with the board: a wrong echo sends the same request again
// after the same wait, the retry limit ends the run with the exchange's own
// status, a failed read ends it with status 1, and -status keeps to its waits.

#include <algorithm>
#include <iostream>

#include "tests/system/tool_support.hpp"

namespace {

using namespace tool_test;
using World = tool_test::ToolWorld;
using sim::ReplyFault;

struct RetryCase {
    const char *name;
    std::vector<std::string> args;
    int good_before;      // replies of earlier exchanges in the run
    uint8_t command;
    std::string request;  // hex of the request as the traffic shows it
    double wait;
    int limit;            // retries after the first attempt
    int timeout_status;
};

void PrintTo(const RetryCase &c, std::ostream *os) { *os << c.name; }

std::vector<ReplyFault> schedule(int good, int wrong) {
    std::vector<ReplyFault> s(static_cast<size_t>(good), ReplyFault::Good);
    s.insert(s.end(), static_cast<size_t>(wrong), ReplyFault::WrongEcho);
    return s;
}

// The requests of the exchange under test and the pause before each reply.
std::vector<Pause> pauses_of(const World &w, const std::string &request) {
    std::vector<Pause> found;
    for (const auto &p : reply_pauses(w))
        if (p.request == request) found.push_back(p);
    return found;
}

class ToolRetry : public testing::TestWithParam<RetryCase> {};

TEST_P(ToolRetry, WrongEchoResendsTheSameRequestAfterTheSameWait) {
    const auto &c = GetParam();
    World w;
    w.board().set_reply_schedule(schedule(c.good_before, 2), false);
    const auto r = w.bexo(c.args);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.find("timed out"), std::string::npos);
    EXPECT_EQ(w.board().seen(c.command), 3);
    const auto attempts = pauses_of(w, c.request);
    ASSERT_EQ(attempts.size(), 3u) << "three identical requests, each followed by a read";
    double shortest = attempts[0].seconds;
    for (const auto &p : attempts) {
        EXPECT_GE(p.seconds, c.wait - PAUSE_EARLY);
        EXPECT_LE(p.seconds, c.wait + PAUSE_LATE);
        shortest = std::min(shortest, p.seconds);
    }
    EXPECT_LE(shortest, c.wait + PAUSE_PRECISE) << "the wait itself is not longer than prescribed";
}

TEST_P(ToolRetry, LastAllowedRetryIsAccepted) {
    const auto &c = GetParam();
    World w;
    w.board().set_reply_schedule(schedule(c.good_before, c.limit), false);
    const auto r = w.bexo(c.args, fast_clock());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.find("timed out"), std::string::npos);
    EXPECT_EQ(w.board().seen(c.command), c.limit + 1);
}

TEST_P(ToolRetry, OneMoreMismatchEndsTheRunWithTheExchangesStatus) {
    const auto &c = GetParam();
    World w;
    w.board().set_reply_schedule(schedule(c.good_before, c.limit + 1), false);
    const auto r = w.bexo(c.args, fast_clock());
    EXPECT_EQ(r.status, c.timeout_status);
    ASSERT_GE(r.out.size(), strlen(TIMED_OUT));
    EXPECT_EQ(r.out.substr(r.out.size() - strlen(TIMED_OUT)), TIMED_OUT) << "the last line of the run";
    EXPECT_EQ(w.board().seen(c.command), c.limit + 1);
    const auto t = traffic(w);
    ASSERT_FALSE(t.empty());
    EXPECT_EQ(t.back().rfind("read ", 0), 0u) << "nothing is sent after the last reply";
    EXPECT_EQ(w.config(), DEFAULT_CONFIG);
}

INSTANTIATE_TEST_SUITE_P(
    Exchanges, ToolRetry,
    testing::Values(
        RetryCase{"Identity", {"-vin"}, 0, 0x22, "22", 0.2, 1000, 1},
        RetryCase{"Vin", {"-vin", "0"}, 0, 0xD0, "d0", 0.02, 1000, 0},
        RetryCase{"Pwrext", {"-pwrext", "0"}, 0, 0xD1, "d1", 0.02, 1000, 1},
        RetryCase{"Pwrbat", {"-pwrbat", "0"}, 0, 0xD2, "d2", 0.02, 1000, 0},
        RetryCase{"Capbat", {"-capbat", "0"}, 0, 0x23, "23", 0.3, 1000, 0},
        RetryCase{"Chrgon", {"-chrgon"}, 1, 0x29, "29", 0.02, 1000, 0},
        RetryCase{"Chrgoff", {"-chrgoff"}, 1, 0x27, "27", 0.02, 1000, 0},
        RetryCase{"Chrgpwr", {"-chrgpwr", "500"}, 1, 0x37, "37 01", 0.001, 1000, 0},
        RetryCase{"StatusPowerSource", {"-status"}, 1, 0x36, "36", 0.1, 1000, 0},
        RetryCase{"StatusCharger", {"-status"}, 2, 0x35, "35", 0.1, 1000, 0},
        RetryCase{"StatusVin", {"-status"}, 3, 0xD0, "d0", 0.1, 1000, 0},
        RetryCase{"StatusBatteryLevel", {"-status"}, 4, 0x23, "23", 0.3, 100, 0},
        RetryCase{"StatusBatteryCurrent", {"-status"}, 5, 0xD2, "d2", 0.1, 1000, 0},
        RetryCase{"StatusExtern", {"-status"}, 6, 0xD1, "d1", 0.1, 1000, 0}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(ToolExchange, IdentityTimeOutPrintsNothingElse) {
    World w;
    w.board().wrong_echo(1001);
    const auto r = w.bexo({"-timer", "30"}, fast_clock());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, TIMED_OUT);
    EXPECT_EQ(w.config(), DEFAULT_CONFIG) << "-timer stores after the box top";
}

TEST(ToolExchange, FailedReplyReadEndsTheRunWithStatus1) {
    const std::string status = golden("status_default.txt");
    const struct {
        const char *name;
        std::vector<std::string> args;
        int good_before;
        std::string out;
        size_t requests;
    } cases[] = {
        {"plain reading", {"-vin", "0"}, 0, "", 1},
        {"identity", {"-capbat"}, 0, "", 1},
        {"charge current", {"-chrgpwr", "300"}, 1, default_header(), 2},
        {"battery level in -status", {"-status"}, 4, status.substr(0, status.find("* Battery capacity")), 5},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        World w;
        auto s = schedule(c.good_before, 0);
        s.push_back(ReplyFault::FailRead);
        w.board().set_reply_schedule(s, false);
        const auto r = w.bexo(c.args, fixed_clock());
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, c.out + "Unable to select I2C device\n");
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(w.requests().size(), c.requests) << "no request after the failed read";
        EXPECT_EQ(traffic(w).back(), "read EREMOTEIO");
    }
}

// The prescribed waits of -status add up to 1 s (identity 200 ms, five
// readings of 100 ms, battery level 300 ms). From its first bus transfer to
// its last the tool adds only its own work; process start-up (the loader,
// the world's preload, a sanitizer runtime) is reported, not judged.
TEST(ToolExchange, StatusTakesLittleMoreThanItsPrescribedWaits) {
    constexpr double WAITS = 0.2 + 5 * 0.1 + 0.3;
    constexpr double ALLOWED_OVERHEAD = 0.150;  // generous, for a loaded machine
    std::vector<double> runs, bus_spans;
    for (int i = 0; i < 5; i++) {
        World w;
        const auto r = w.bexo({"-status"});
        ASSERT_EQ(r.status, 0) << r.err;
        runs.push_back(r.seconds);
        const auto bus = sim::only(w.events(), sim::is_bus);
        bus_spans.push_back(bus.back().t - bus.front().t);
    }
    std::sort(runs.begin(), runs.end());
    std::sort(bus_spans.begin(), bus_spans.end());
    const double median = runs[runs.size() / 2];
    const double bus_median = bus_spans[bus_spans.size() / 2];
    std::cout << "bexo -status: median " << median * 1000 << " ms from start to exit, "
              << bus_median * 1000 << " ms from the first to the last bus transfer; waits "
              << WAITS * 1000 << " ms\n";
    RecordProperty("status_median_ms", static_cast<int>(median * 1000));
    RecordProperty("status_bus_median_ms", static_cast<int>(bus_median * 1000));
    EXPECT_GE(bus_median, WAITS);
    EXPECT_LE(bus_median, WAITS + ALLOWED_OVERHEAD);
}

}  // namespace

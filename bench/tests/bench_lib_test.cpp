// SPDX-License-Identifier: GPL-2.0-or-later
// Checks of what the benchmark's figures rest on: its statistics, the
// parsers of /proc, callgrind and bench-timer output, the result file, the
// generated INI files and the drivers that read and change them.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <thread>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/lib/callgrind.hpp"
#include "bench/lib/estimates.hpp"
#include "bench/lib/ini_data.hpp"
#include "bench/lib/procstat.hpp"
#include "bench/lib/report.hpp"
#include "bench/lib/spawn.hpp"
#include "bench/lib/stats.hpp"
#include "bench/lib/timer_line.hpp"
#include "common/config/ini_store.hpp"

namespace {

using namespace bench;

TEST(Summary, MedianMinAndMaxOfOddEvenAndEmptySamples) {
    struct Case {
        std::vector<double> samples;
        double median, min, max;
    };
    for (const Case &c : std::vector<Case>{{{3, 1, 2}, 2, 1, 3},
                                           {{4, 1, 3, 2}, 2.5, 1, 4},
                                           {{7}, 7, 7, 7}}) {
        const Summary s = summarize(c.samples);
        EXPECT_EQ(s.median, c.median);
        EXPECT_EQ(s.min, c.min);
        EXPECT_EQ(s.max, c.max);
        EXPECT_EQ(s.runs, c.samples.size());
    }
    EXPECT_EQ(summarize({}).runs, 0u);
}

TEST(Estimates, WindowRatesAndScaledBounds) {
    const auto rates = window_rates({10, 30, 30, 90}, {0, 2, 3, 3});
    ASSERT_EQ(rates.size(), 3u);
    EXPECT_EQ(rates[0], 10);
    EXPECT_EQ(rates[1], 0);
    EXPECT_EQ(rates[2], 0);  // a window of no length
    EXPECT_TRUE(window_rates({5}, {1}).empty());
    EXPECT_EQ(scaled_lower_bound(0.2, 0.9, 64), 0.2 + 0.7 * 64);
    EXPECT_EQ(scaled_lower_bound(200, 150, 64), 200);  // no growth: the fixed part alone
}

TEST(ProcText, StatusFieldsSchedstatAndParentOfOddCommandNames) {
    const ProcSample s = parse_status("Name:\tx\nVmHWM:\t    3192 kB\nvoluntary_ctxt_switches:\t41\n"
                                      "nonvoluntary_ctxt_switches:\t7\n");
    EXPECT_EQ(s.hwm_kib, 3192u);
    EXPECT_EQ(s.voluntary, 41u);
    EXPECT_EQ(s.nonvoluntary, 7u);
    EXPECT_EQ(parse_schedstat("13746798 44033947 10\n"), 13746798u);
    EXPECT_FALSE(parse_schedstat(""));
    EXPECT_EQ(parse_ppid("123 (a) b) S 77 123 123 0"), 77);
    EXPECT_FALSE(parse_ppid("garbage"));
}

TEST(ProcSampling, SeesThisProcessAndAChildItStarted) {
    const auto self = sample_process(getpid());
    ASSERT_TRUE(self);
    EXPECT_GT(self->cpu_ns, 0u);
    EXPECT_GT(self->hwm_kib, 0u);
    EXPECT_GE(self->tasks, 1);
    Child child({"sleep", "5"}, {}, "/dev/null");
    const auto family = with_descendants(getpid());
    EXPECT_NE(std::find(family.begin(), family.end(), child.pid()), family.end());
    child.stop();
    EXPECT_FALSE(sample_process(child.pid()));
}

TEST(ProcSampling, CountsEveryThreadAndFindsGrandchildren) {
    bool stop = false;
    std::thread worker([&] {
        while (!__atomic_load_n(&stop, __ATOMIC_RELAXED)) usleep(1000);
    });
    const auto sample = sample_process(getpid());
    __atomic_store_n(&stop, true, __ATOMIC_RELAXED);
    worker.join();
    ASSERT_TRUE(sample);
    EXPECT_GE(sample->tasks, 2);
    EXPECT_GE(sample->voluntary, 1u);

    Child shell({"sh", "-c", "sleep 5 & wait"}, {}, "/dev/null");
    std::vector<pid_t> family;
    for (int i = 0; i < 100 && family.size() < 2; i++) {
        usleep(20000);
        family = with_descendants(shell.pid());
    }
    EXPECT_EQ(family.size(), 2u);
    shell.stop();
    kill(-shell.pid(), SIGKILL);
}

TEST(Spawn, OutputStatusSignalsAndTimeOut) {
    const RunStats ok = run({"sh", "-c", "echo out; echo err >&2; exit 3"});
    EXPECT_EQ(ok.out, "out\n");
    EXPECT_EQ(ok.err, "err\n");
    EXPECT_EQ(ok.status, 3);
    EXPECT_FALSE(ok.timed_out);
    EXPECT_GT(ok.maxrss_kib, 0);
    EXPECT_EQ(run({"sh", "-c", "kill -TERM $$"}).status, 128 + SIGTERM);
    EXPECT_EQ(run({"no-such-program-here"}).status, 127);
    const double start = monotonic_seconds();
    const RunStats slow = run({"sh", "-c", "sleep 20 & sleep 20"}, with_timeout(0.3));
    EXPECT_TRUE(slow.timed_out);
    EXPECT_LT(monotonic_seconds() - start, 10);  // the whole group was killed
    SpawnOptions input;
    input.input = "given\n";
    input.set_env = {"BENCH_SELFTEST=yes"};
    EXPECT_EQ(run({"sh", "-c", "read line; echo $line $BENCH_SELFTEST"}, input).out, "given yes\n");
}

TEST(Spawn, ChildAnswersLinesAndIsKilledWhenItIgnoresTerm) {
    Child echo({"sh", "-c", "while read line; do echo \"got $line\"; done"}, {}, "/dev/null", true);
    echo.send("one\ntwo\n");
    EXPECT_EQ(echo.line(10), "got one");
    EXPECT_EQ(echo.line(10), "got two");
    EXPECT_FALSE(echo.line(0.2));
    EXPECT_EQ(echo.stop(5), 128 + SIGTERM);

    Child stubborn({"sh", "-c", "trap '' TERM; while :; do sleep 0.1; done"}, {}, "/dev/null");
    usleep(200000);
    EXPECT_EQ(stubborn.stop(0.5), 128 + SIGKILL);
}

TEST(Callgrind, TotalsAndSelfCostPerObjectWithoutCallCosts) {
    const std::string dump =
        "version: 1\nevents: Ir\n"
        "ob=(1) /usr/bin/prog\nfl=(1) a.c\nfn=(1) main\n"
        "10 100\n+2 50\n"
        "cob=(2) /usr/lib/libumockdev-preload.so.0\ncfn=(2) open\ncalls=1 0\n12 400\n"
        "ob=(2)\nfl=(2) b.c\nfn=(2)\n* 400\n"
        "ob=(1)\nfn=(1)\n-1 5\n"
        "totals: 555\n";
    EXPECT_EQ(callgrind_total(dump), 555u);
    EXPECT_EQ(callgrind_total("events: Ir\nsummary: 42\n"), 42u);
    EXPECT_FALSE(callgrind_total("events: Ir\n"));
    const auto self = callgrind_self_by_object(dump);
    EXPECT_EQ(self.at("/usr/bin/prog"), 155u);
    EXPECT_EQ(self.at("/usr/lib/libumockdev-preload.so.0"), 400u);
}

TEST(Callgrind, ShareOfAnObjectIncludesWhatItCallsElsewhere) {
    const std::string dump =
        "events: Ir\n"
        "ob=(1) /usr/bin/prog\nfn=(1) main\n10 100\n"
        "cob=(2) /usr/lib/libumockdev-preload.so.0\ncfn=(2) open\ncalls=1 0\n12 470\n"
        "ob=(2)\nfn=(2)\n5 400\n"
        "cob=(3) /lib/libc.so.6\ncfn=(3) getenv\ncalls=1 0\n6 60\n"
        "cfn=(4) helper\ncalls=1 0\n7 10\n"
        "fn=(4)\n8 10\n"
        "ob=(3)\nfn=(3)\n1 60\n"
        "totals: 570\n";
    EXPECT_EQ(callgrind_share_of(dump, "umockdev"), 470u);
    EXPECT_EQ(callgrind_share_of(dump, "nothing"), 0u);
}

TEST(TimerLine, LastLineCountsAndBrokenLinesDoNot) {
    const auto fields = parse_timer_line(
        "noise\nbench-timer: wall_ns=1 status=0\nmore\nbench-timer: wall_ns=1500 user_us=20 status=3\n");
    ASSERT_TRUE(fields);
    EXPECT_EQ(fields->at("wall_ns"), 1500);
    EXPECT_EQ(fields->at("status"), 3);
    EXPECT_FALSE(parse_timer_line("no line here\n"));
    EXPECT_FALSE(parse_timer_line("bench-timer: wall_ns=12x\n"));
    EXPECT_FALSE(parse_timer_line("bench-timer: status=0\n"));
}

Report sample_report(double median) {
    Report r;
    Row row = make_row("tool", "bexo -vin", "wall (own process)", "ms", {median - 1, median, median + 1});
    row.reference = 220;
    row.reference_name = "limit";
    r.add(row);
    r.add(missing_row("ini", "put 1 KiB / inih", "call time", "ms", "inih has no writer"));
    r.notes["tool"] = {"a note"};
    return r;
}

TEST(ResultFile, SurvivesTheRoundTripAndComparesPerRow) {
    const Report before = from_json(nlohmann::json::parse(to_json(sample_report(230)).dump()));
    ASSERT_EQ(before.rows.size(), 2u);
    EXPECT_EQ(before.rows[0].stats.median, 230);
    EXPECT_NEAR(*before.rows[0].ratio(), 230.0 / 220, 1e-12);
    EXPECT_EQ(before.rows[1].note, "inih has no writer");
    EXPECT_FALSE(before.rows[1].ratio());

    Report now = sample_report(253);
    now.add(make_row("daemon", "bexod", "CPU per s", "us", {5}));
    const std::string text = format_comparison(now, before);
    EXPECT_NE(text.find("230 -> 253 ms  +10.0%"), std::string::npos) << text;
    const size_t added = text.find("daemon | bexod | CPU per s");
    ASSERT_NE(added, std::string::npos) << text;
    EXPECT_EQ(text.substr(text.find_first_not_of(' ', added + 26), 8), "new row\n") << text;
    EXPECT_THROW(from_json(nlohmann::json{{"format", "other"}}), std::runtime_error);
}

TEST(ResultFile, TablesShowEveryGroupWithRatiosAndNotes) {
    const std::string text = format_tables(sample_report(230));
    EXPECT_NE(text.find("== Tool latency in the simulated world"), std::string::npos) << text;
    EXPECT_NE(text.find("1.05 x limit"), std::string::npos) << text;
    EXPECT_NE(text.find("inih has no writer"), std::string::npos) << text;
    EXPECT_NE(text.find("a note"), std::string::npos) << text;
}

TEST(Numbers, KeepThreeSignificantDigitsWithoutExponent) {
    EXPECT_EQ(format_number(0), "0");
    EXPECT_EQ(format_number(0.012345), "0.0123");
    EXPECT_EQ(format_number(1.2345), "1.23");
    EXPECT_EQ(format_number(1234567), "1234567");
}

class IniDrivers : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() / ("bench-selftest." + std::to_string(getpid()));
        std::filesystem::create_directories(dir_);
        file_ = dir_ + "/data.ini";
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::string dir_, file_;
};

TEST_F(IniDrivers, GeneratedFileHasItsSizeAndTheKeyLast) {
    for (size_t bytes : {1024u, 100000u}) {
        const size_t size = generate_ini(file_, bytes);
        EXPECT_EQ(std::filesystem::file_size(file_), size);
        EXPECT_GE(size, bytes);
        EXPECT_LT(size, bytes + 400);
        const std::string text = read_text(file_);
        EXPECT_EQ(text.substr(text.size() - 16), "\nwanted = 12345\n");
        EXPECT_EQ(ini_getl(kTargetSection, kTargetKey, -1, file_.c_str()), kTargetValue);
    }
}

TEST_F(IniDrivers, EveryReaderFindsTheKey) {
    generate_ini(file_, 8192);
    for (const char *driver : {"ini-ours", "ini-inih", "ini-iniparser"}) {
        const RunStats r = run({std::string(BENCH_BIN_DIR) + "/" + driver, "get", file_, kTargetSection, kTargetKey});
        EXPECT_EQ(r.status, 0) << driver << r.err;
        EXPECT_EQ(r.out.rfind("value=12345 ns=", 0), 0u) << driver << ": " << r.out;
    }
}

TEST_F(IniDrivers, WritersTimeTheirSyncs) {
    generate_ini(file_, 4096);
    const RunStats r = run({std::string(BENCH_BIN_DIR) + "/ini-ours", "put", file_, kTargetSection, kTargetKey, "9"});
    const size_t at = r.out.find("fsync_ns=");
    ASSERT_NE(at, std::string::npos) << r.out;
    EXPECT_GT(atoll(r.out.c_str() + at + 9), 0) << r.out;  // the temporary file and the folder were synced
}

TEST_F(IniDrivers, EveryWriterStoresTheNewValue) {
    for (const char *driver : {"ini-ours", "ini-iniparser", "ini-single-pass"}) {
        generate_ini(file_, 8192);
        const RunStats r = run({std::string(BENCH_BIN_DIR) + "/" + driver, "put", file_, kTargetSection,
                                kTargetKey, "777"});
        EXPECT_EQ(r.status, 0) << driver << r.err;
        EXPECT_EQ(r.out.rfind("result=1 ns=", 0), 0u) << driver << ": " << r.out;
        EXPECT_EQ(ini_getl(kTargetSection, kTargetKey, -1, file_.c_str()), 777) << driver;
        char value[64];
        ini_gets("section0000001", "setting_03", "", value, sizeof value, file_.c_str());
        EXPECT_STREQ(value, "some value text 0000001-03") << driver;
    }
}

TEST_F(IniDrivers, SinglePassReferenceMakesTheSameFileAsOurs) {
    const std::string other = dir_ + "/other.ini";
    generate_ini(file_, 20000);
    generate_ini(other, 20000);
    const std::string bin = std::string(BENCH_BIN_DIR) + "/";
    EXPECT_EQ(run({bin + "ini-ours", "put", file_, kTargetSection, kTargetKey, "31"}).status, 0);
    EXPECT_EQ(run({bin + "ini-single-pass", "put", other, kTargetSection, kTargetKey, "31"}).status, 0);
    EXPECT_EQ(read_text(file_), read_text(other));
    EXPECT_EQ(run({bin + "ini-ours", "put", file_, kTargetSection, "added", "5"}).status, 0);
    EXPECT_EQ(run({bin + "ini-single-pass", "put", other, kTargetSection, "added", "5"}).status, 0);
    EXPECT_EQ(read_text(file_), read_text(other));
}

TEST_F(IniDrivers, InihRefusesToWrite) {
    generate_ini(file_, 1024);
    const RunStats r = run({std::string(BENCH_BIN_DIR) + "/ini-inih", "put", file_, "a", "b", "c"});
    EXPECT_EQ(r.status, 3);
}

}  // namespace

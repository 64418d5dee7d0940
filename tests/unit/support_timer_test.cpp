// SPDX-License-Identifier: GPL-2.0-or-later
#include "common/support/timer.hpp"

#include "support_child.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <sys/time.h>
#include <thread>

namespace {

std::atomic<int> ticks{0};

void countTick()
{
    ticks.fetch_add(1);
}

void otherAlarmHandler(int) {}

struct itimerval currentTimer()
{
    struct itimerval value {};
    getitimer(ITIMER_REAL, &value);
    return value;
}

struct sigaction currentAlarmAction()
{
    struct sigaction action {};
    sigaction(SIGALRM, nullptr, &action);
    return action;
}

// Sleeps in short steps until `done` holds or the time runs out; the timer's
// signal cuts each step short, which the loop absorbs.
template <typename Pred> bool waitFor(Pred done, std::chrono::milliseconds limit)
{
    auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end)
            return false;
        usleep(2000);
    }
    return true;
}

class IntervalTimer : public ::testing::Test {
protected:
    void SetUp() override
    {
        ticks = 0;
        struct sigaction previous {};
        previous.sa_handler = otherAlarmHandler;
        sigemptyset(&previous.sa_mask);
        sigaddset(&previous.sa_mask, SIGUSR1);
        previous.sa_flags = SA_RESTART;
        ASSERT_EQ(sigaction(SIGALRM, &previous, &saved), 0);
    }
    void TearDown() override
    {
        struct itimerval off {};
        setitimer(ITIMER_REAL, &off, nullptr);
        sigaction(SIGALRM, &saved, nullptr);
    }
    struct sigaction saved {};
};

TEST_F(IntervalTimer, PeriodIsSplitIntoWholeSecondsAndMicroseconds)
{
    struct Case {
        int32_t ms;
        time_t sec;
        suseconds_t usec;
    };
    const Case cases[] = {
        {1000, 1, 0}, {250, 0, 250000}, {999, 0, 999000}, {2500, 2, 500000},
        {1, 0, 1000}, {61001, 61, 1000}, {3600000, 3600, 0},
    };
    for (const Case &c : cases) {
        ASSERT_EQ(start_timer(c.ms, countTick), 0) << c.ms;
        struct itimerval armed = currentTimer();
        stop_timer();
        EXPECT_EQ(armed.it_interval.tv_sec, c.sec) << c.ms;
        EXPECT_EQ(armed.it_interval.tv_usec, c.usec) << c.ms;
        // The first expiry is one period away (counting down already).
        long long first = armed.it_value.tv_sec * 1000000LL + armed.it_value.tv_usec;
        EXPECT_GT(first, 0) << c.ms;
        EXPECT_LE(first, c.sec * 1000000LL + c.usec) << c.ms;
        EXPECT_GT(first, c.sec * 1000000LL + c.usec - 100000) << c.ms;
    }
}

TEST_F(IntervalTimer, HandlerDoesNotDeferItselfAndDoesNotRestartCalls)
{
    ASSERT_EQ(start_timer(5000, countTick), 0);
    struct sigaction action = currentAlarmAction();
    stop_timer();
    EXPECT_NE(action.sa_handler, otherAlarmHandler);
    EXPECT_NE(action.sa_handler, SIG_DFL);
    EXPECT_TRUE(action.sa_flags & SA_NODEFER);
    EXPECT_FALSE(action.sa_flags & SA_RESTART);
    EXPECT_FALSE(action.sa_flags & SA_SIGINFO);
    EXPECT_FALSE(sigismember(&action.sa_mask, SIGUSR1));
}

TEST_F(IntervalTimer, CallbacksArriveUntilStopThenPreviousActionIsBack)
{
    ASSERT_EQ(start_timer(20, countTick), 0);
    EXPECT_TRUE(waitFor([] { return ticks.load() >= 5; }, std::chrono::seconds(3)));
    EXPECT_EQ(stop_timer(), 0);

    int atStop = ticks.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(120));
    EXPECT_EQ(ticks.load(), atStop);

    struct itimerval off = currentTimer();
    EXPECT_EQ(off.it_interval.tv_sec, 0);
    EXPECT_EQ(off.it_interval.tv_usec, 0);
    EXPECT_EQ(off.it_value.tv_sec, 0);
    EXPECT_EQ(off.it_value.tv_usec, 0);

    struct sigaction action = currentAlarmAction();
    EXPECT_EQ(action.sa_handler, otherAlarmHandler);
    EXPECT_TRUE(action.sa_flags & SA_RESTART);
    EXPECT_TRUE(sigismember(&action.sa_mask, SIGUSR1));
}

TEST_F(IntervalTimer, ExpiryCutsShortABlockingRead)
{
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_EQ(start_timer(50, countTick), 0);
    char byte;
    errno = 0;
    ssize_t n = read(fds[0], &byte, 1);
    int err = errno;
    stop_timer();
    close(fds[0]);
    close(fds[1]);
    EXPECT_EQ(n, -1);
    EXPECT_EQ(err, EINTR);
    EXPECT_GE(ticks.load(), 1);
}

TEST_F(IntervalTimer, RestartingReplacesPeriodAndCallback)
{
    static std::atomic<int> second{0};
    ASSERT_EQ(start_timer(5000, countTick), 0);
    ASSERT_EQ(start_timer(10, [] { second.fetch_add(1); }), 0);
    EXPECT_EQ(currentTimer().it_interval.tv_usec, 10000);
    EXPECT_TRUE(waitFor([] { return second.load() >= 2; }, std::chrono::seconds(3)));
    stop_timer();
    EXPECT_EQ(ticks.load(), 0);
}

TEST(IntervalTimerRefusal, PeriodOfZeroOrBelowIsRefusedAndChangesNothing)
{
    for (int32_t ms : {0, -1, -1000, -1500}) {
        ChildResult r = runInChild([ms] {
            signal(SIGALRM, SIG_IGN);
            int result = start_timer(ms, countTick);
            struct itimerval armed = currentTimer();
            bool isArmed = armed.it_value.tv_sec != 0 || armed.it_value.tv_usec != 0;
            bool ignored = currentAlarmAction().sa_handler == SIG_IGN;
            printf("result=%d armed=%d ignored=%d\n", result, isArmed, ignored);
            fflush(stdout);
        });
        EXPECT_TRUE(r.exitedWith(0)) << ms;
        EXPECT_EQ(r.output, "\nsetitimer() error\nresult=1 armed=0 ignored=1\n") << ms;
    }
}

} // namespace

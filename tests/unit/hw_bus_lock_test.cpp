// SPDX-License-Identifier: GPL-2.0-or-later
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "common/hw/bus_lock.hpp"
#include "tests/unit/scratch_dir.hpp"

namespace {

void real_pause(unsigned microseconds) { usleep(microseconds); }
// A pause that a signal cuts short at once.
void cut_short_pause(unsigned) {}

constexpr unsigned LONG_WAIT_US = 5000000;

bool take(int fd) { return bus_lock(fd, LONG_WAIT_US, BUS_GO_AHEAD, real_pause) == BUS_LOCKED; }

// The bus byte as another open file description sees it.
bool bus_byte_held(const std::string &node) {
    const int other = open(node.c_str(), O_RDWR);
    struct flock region = {};
    region.l_type = F_WRLCK;
    region.l_whence = SEEK_SET;
    region.l_start = 1;
    region.l_len = 1;
    fcntl(other, F_OFD_GETLK, &region);
    close(other);
    return region.l_type != F_UNLCK;
}

class BusLock : public testing::Test {
protected:
    ScratchDir dir{"bexo-bus-lock"};
    std::string node = (dir.path() / "i2c-1").string();
    pid_t child = -1;

    void SetUp() override { close(open(node.c_str(), O_RDWR | O_CREAT, 0600)); }
    void TearDown() override {
        if (child > 0) {
            kill(child, SIGKILL);
            waitpid(child, nullptr, 0);
        }
    }
    // A process that takes the bus for `hold_us` at a time and, until it is
    // killed, asks again as soon as it has let it go.
    void start_greedy_neighbour(unsigned hold_us) {
        child = fork();
        if (child == 0) {
            const int fd = open(node.c_str(), O_RDWR);
            for (;;) {
                if (take(fd)) {
                    usleep(hold_us);
                    bus_unlock(fd);
                }
            }
        }
        while (!bus_byte_held(node)) usleep(1000);
    }
};

// Without the queue the neighbour would win every time: it asks again
// microseconds after letting go, while a waiter polls.
TEST_F(BusLock, AWaiterGetsTheBusBeforeANeighbourThatAsksAgainAtOnce) {
    start_greedy_neighbour(30000);
    const int fd = open(node.c_str(), O_RDWR);
    for (int turn = 0; turn < 5; turn++) {
        const auto asked = std::chrono::steady_clock::now();
        ASSERT_TRUE(take(fd));
        const auto waited = std::chrono::steady_clock::now() - asked;
        EXPECT_LT(waited, std::chrono::milliseconds(150)) << "turn " << turn;
        bus_unlock(fd);
        usleep(50000);
    }
    close(fd);
}

// A neighbour stopped while it holds the bus: the wait lasts its limit on
// the clock, however its pauses are cut short; once a wait that goes ahead
// has run out, the next calls only try, until the bus is seen free again.
TEST_F(BusLock, AWaitThatRunsOutIsNotRepeatedUntilTheBusIsSeenFree) {
    struct Step {
        const char *what;
        bool neighbour_holds;
        unsigned limit_us;
        bus_wait_end end;
        void (*pause)(unsigned);
        bus_lock_result expected;
        int min_ms, max_ms;
    };
    const Step steps[] = {
        {"a wait that gives up lasts its limit", true, 300000, BUS_GIVE_UP, cut_short_pause,
         BUS_BUSY, 300, 400},
        {"and leaves the next wait whole", true, 500000, BUS_GO_AHEAD, real_pause, BUS_BUSY, 500,
         600},
        {"after a wait that went ahead, only a try", true, LONG_WAIT_US, BUS_GO_AHEAD, real_pause,
         BUS_BUSY, 0, 50},
        {"for waits that give up too", true, 300000, BUS_GIVE_UP, real_pause, BUS_BUSY, 0, 50},
        {"a free bus is taken", false, LONG_WAIT_US, BUS_GO_AHEAD, real_pause, BUS_LOCKED, 0, 50},
        {"and the next wait is whole again", true, 300000, BUS_GO_AHEAD, real_pause, BUS_BUSY,
         300, 400},
    };
    const int fd = open(node.c_str(), O_RDWR);
    for (const Step &step : steps) {
        SCOPED_TRACE(step.what);
        if (step.neighbour_holds && child <= 0) start_greedy_neighbour(60 * 1000000);
        if (!step.neighbour_holds && child > 0) {
            TearDown();
            child = -1;
        }
        const auto asked = std::chrono::steady_clock::now();
        EXPECT_EQ(bus_lock(fd, step.limit_us, step.end, step.pause), step.expected);
        const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::steady_clock::now() - asked)
                                .count();
        EXPECT_GE(waited, step.min_ms);
        EXPECT_LT(waited, step.max_ms);
        if (step.expected == BUS_LOCKED) bus_unlock(fd);
    }
    close(fd);
}

TEST_F(BusLock, TakenAgainWhileHeldOnlyCountsAndTheLastUnlockFreesIt) {
    const int fd = open(node.c_str(), O_RDWR);
    ASSERT_TRUE(take(fd));
    ASSERT_TRUE(take(fd));
    bus_unlock(fd);
    EXPECT_TRUE(bus_byte_held(node));
    bus_unlock(fd);
    EXPECT_FALSE(bus_byte_held(node));
    close(fd);
}

}  // namespace

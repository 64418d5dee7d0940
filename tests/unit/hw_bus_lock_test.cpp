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

unsigned long long paused_us = 0;
void counted_pause(unsigned microseconds) { paused_us += microseconds; }

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
                if (bus_lock(fd, real_pause)) {
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
        ASSERT_TRUE(bus_lock(fd, real_pause));
        const auto waited = std::chrono::steady_clock::now() - asked;
        EXPECT_LT(waited, std::chrono::milliseconds(150)) << "turn " << turn;
        bus_unlock(fd);
        usleep(50000);
    }
    close(fd);
}

TEST_F(BusLock, GivesUpAfterItsBoundedWait) {
    start_greedy_neighbour(60 * 1000000);
    const int fd = open(node.c_str(), O_RDWR);
    paused_us = 0;
    EXPECT_FALSE(bus_lock(fd, counted_pause));
    EXPECT_GE(paused_us, 5000000u);
    EXPECT_LT(paused_us, 5100000u);
    close(fd);
}

TEST_F(BusLock, TakenAgainWhileHeldOnlyCountsAndTheLastUnlockFreesIt) {
    const int fd = open(node.c_str(), O_RDWR);
    ASSERT_TRUE(bus_lock(fd, real_pause));
    ASSERT_TRUE(bus_lock(fd, real_pause));
    bus_unlock(fd);
    EXPECT_TRUE(bus_byte_held(node));
    bus_unlock(fd);
    EXPECT_FALSE(bus_byte_held(node));
    close(fd);
}

}  // namespace

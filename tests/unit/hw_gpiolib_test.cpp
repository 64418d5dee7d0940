// SPDX-License-Identifier: GPL-2.0-or-later
// What of the GPIO layer runs without sysfs: reading a value through a held
// descriptor, and the refusals before any file is touched. The world's and
// the kernel tier's GPIO cases prove the rest against sysfs.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "common/hw/gpiolib.hpp"
#include "tests/unit/scratch_dir.hpp"

namespace {

// A line number that is never exported.
constexpr int NO_SUCH_LINE = -1;

TEST(GpioValueRead, ReadsFromTheStartEachTime) {
    ScratchDir dir("bexo-gpiolib");
    const std::string path = (dir.path() / "value").string();
    const int writer = open(path.c_str(), O_WRONLY | O_CREAT, 0600);
    const int fd = open(path.c_str(), O_RDONLY);
    ASSERT_GE(writer, 0);
    ASSERT_GE(fd, 0);
    // Each text replaces the last, as sysfs renders the value afresh.
    const struct {
        const char *text;
        int value;
    } cases[] = {{"1\n", 1}, {"0\n", 0}, {"1\n", 1}, {"1", 1}, {"", 0}, {"x\n", 0}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        ASSERT_EQ(ftruncate(writer, 0), 0);
        ASSERT_EQ(pwrite(writer, c.text, strlen(c.text), 0), static_cast<ssize_t>(strlen(c.text)));
        EXPECT_EQ(gpio_value_read(fd), c.value);
    }
    EXPECT_EQ(gpio_value_close(fd), 0);
    close(writer);
}

TEST(GpioValueRead, FailuresAreReportedAndReturnMinusOne) {
    int pipe_ends[2];
    ASSERT_EQ(pipe(pipe_ends), 0);
    ASSERT_EQ(write(pipe_ends[1], "1\n", 2), 2);
    const struct {
        const char *name;
        int fd;
        int err;
    } cases[] = {{"not seekable", pipe_ends[0], ESPIPE}, {"closed", 999, EBADF}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        testing::internal::CaptureStderr();
        errno = 0;
        EXPECT_EQ(gpio_value_read(c.fd), -1);
        EXPECT_EQ(errno, c.err);
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  std::string("Cannot read the GPIO value: ") + strerror(c.err) + "\n");
    }
    close(pipe_ends[0]);
    close(pipe_ends[1]);
    testing::internal::CaptureStderr();
    EXPECT_EQ(gpio_value_close(999), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Cannot close the GPIO value file: Bad file descriptor\n");
}

// A missing line: the value open is reported; an edge the caller must be
// able to do without is not, but errno says why.
TEST(GpioEdge, RefusesUnknownEdgesAndFailsQuietlyWithoutTheFile) {
    const struct {
        const char *name;
        int edge;
        int err;
    } cases[] = {{"unknown edge", 4, EINVAL}, {"negative edge", -1, EINVAL},
                 {"rising on a missing line", GPIO_EDGE_RISING, ENOENT},
                 {"none on a missing line", GPIO_EDGE_NONE, ENOENT}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        testing::internal::CaptureStderr();
        errno = 0;
        EXPECT_EQ(gpio_edge(NO_SUCH_LINE, c.edge), -1);
        EXPECT_EQ(errno, c.err);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    }
    testing::internal::CaptureStderr();
    EXPECT_EQ(gpio_value_open(NO_SUCH_LINE), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Cannot open the GPIO value file: No such file or directory\n");
}

}  // namespace

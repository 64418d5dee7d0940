// SPDX-License-Identifier: GPL-2.0-or-later
// The failures of the GPIO layer's routines for a held value descriptor and
// an edge: what each says and leaves in errno. The world's and the kernel
// tier's GPIO cases (tests/system/gpio_edge_cases.hpp) prove them on sysfs.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <string>

#include "common/hw/gpiolib.hpp"

namespace {

constexpr int NO_SUCH_LINE = -1;  // never exported

TEST(Gpiolib, FailuresOfTheHeldValueAndTheEdge) {
    int pipe_ends[2];
    ASSERT_EQ(pipe(pipe_ends), 0);
    const struct {
        const char *name;
        std::function<int()> call;
        int err;
        std::string message;  // on standard error
    } cases[] = {
        {"read where it cannot seek", [&] { return gpio_value_read(pipe_ends[0]); }, ESPIPE,
         "Cannot read the GPIO value: Illegal seek\n"},
        {"open of a missing line", [] { return gpio_value_open(NO_SUCH_LINE); }, ENOENT,
         "Cannot open the GPIO value file: No such file or directory\n"},
        {"close of no descriptor", [] { return gpio_value_close(-1); }, EBADF,
         "Cannot close the GPIO value file: Bad file descriptor\n"},
        // A kernel without line interrupts is no fault: errno says why.
        {"edge of a missing line", [] { return gpio_edge(NO_SUCH_LINE, GPIO_EDGE_RISING); }, ENOENT, ""},
        {"unknown edge", [] { return gpio_edge(NO_SUCH_LINE, GPIO_EDGE_BOTH + 1); }, EINVAL, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        testing::internal::CaptureStderr();
        errno = 0;
        EXPECT_EQ(c.call(), -1);
        EXPECT_EQ(errno, c.err);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.message);
    }
    close(pipe_ends[0]);
    close(pipe_ends[1]);
}

}  // namespace

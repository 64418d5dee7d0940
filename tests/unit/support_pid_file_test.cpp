// SPDX-License-Identifier: GPL-2.0-or-later
#include "common/support/create_pid_file.hpp"
#include "common/support/region_locking.hpp"

#include "scratch_dir.hpp"
#include "support_child.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>

namespace {

class PidFile : public ::testing::Test {
protected:
    std::string contents() const
    {
        int fd = open(path.c_str(), O_RDONLY);
        if (fd == -1)
            return "<missing>";
        std::string text = readWhole(fd);
        close(fd);
        return text;
    }
    void writeFile(const std::string &text) const
    {
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
        close(fd);
    }

    ScratchDir scratch{"bexo-pidfile"};
    std::string dir = scratch.path().string();
    std::string path = dir + "/bexod.pid";
};

// A child that holds the PID file until told to go; its end of the pipes
// reports readiness with one byte and waits for one byte (or EOF).
struct Holder {
    pid_t pid = -1;
    int release = -1;

    void start(const std::function<void()> &take)
    {
        int ready[2], go[2];
        ASSERT_EQ(pipe(ready), 0);
        ASSERT_EQ(pipe(go), 0);
        pid = fork();
        if (pid == 0) {
            close(ready[0]);
            close(go[1]);
            take();
            char byte = 1;
            (void)!write(ready[1], &byte, 1);
            (void)!read(go[0], &byte, 1);
            _exit(0);
        }
        close(ready[1]);
        close(go[0]);
        char byte;
        ASSERT_EQ(read(ready[0], &byte, 1), 1);
        close(ready[0]);
        release = go[1];
    }
    int finish()
    {
        int status = -1;
        close(release);
        waitpid(pid, &status, 0);
        return status;
    }
};

TEST_F(PidFile, NewFileIsCreatedOwnerOnlyAndHoldsThePid)
{
    ChildResult r = runInChild([&] {
        umask(022);
        createPidFile("bexod", path.c_str(), 0);
    });
    ASSERT_TRUE(r.exitedWith(0)) << r.output;
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(contents(), std::to_string(r.pid) + "\n");
}

TEST_F(PidFile, HoldsTheCallersPidWithoutLeftoversOfALongerOldNumber)
{
    writeFile("123456789012345\nold text\n");
    Holder holder;
    holder.start([&] { createPidFile("bexod", path.c_str(), 0); });
    EXPECT_EQ(contents(), std::to_string(holder.pid) + "\n");
    holder.finish();
}

TEST_F(PidFile, SecondInstanceIsRefusedAndLeavesTheRunningPid)
{
    Holder holder;
    holder.start([&] { createPidFile("bexod", path.c_str(), CPF_CLOEXEC); });
    const std::string running = std::to_string(holder.pid) + "\n";

    ChildResult second = runInChild([&] { createPidFile("bexod", path.c_str(), CPF_CLOEXEC); });
    EXPECT_TRUE(second.exitedWith(1));
    EXPECT_EQ(second.output, "ERROR: PID file '" + path +
                                 "' is locked; probably 'bexod' is already running\n");
    EXPECT_EQ(contents(), running);

    int status = holder.finish();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    // The lock ends with its holder; a later instance takes the file over.
    Holder next;
    next.start([&] { createPidFile("bexod", path.c_str(), CPF_CLOEXEC); });
    EXPECT_EQ(contents(), std::to_string(next.pid) + "\n");
    next.finish();
}

TEST_F(PidFile, OpenFailureIsReportedWithTheErrorName)
{
    std::string missing = dir + "/no-such-dir/bexod.pid";
    ChildResult r = runInChild([&] { createPidFile("bexod", missing.c_str(), 1); });
    EXPECT_TRUE(r.exitedWith(1));
    EXPECT_EQ(r.output, std::string("ERROR [ENOENT ") + strerror(ENOENT) +
                            "] Could not open PID file " + missing + "\n");
}

TEST_F(PidFile, CloseOnExecBitDecidesWhetherStartedProgramsInheritTheFile)
{
    struct Case {
        int flags;
        bool inherited;
    };
    for (const Case &c : {Case{0, true}, Case{CPF_CLOEXEC, false}, Case{2, true}, Case{3, false}}) {
        ChildResult r = runInChild([&] {
            int fd = createPidFile("bexod", path.c_str(), c.flags);
            std::string script = "readlink /proc/$$/fd/" + std::to_string(fd) + " || echo closed";
            execl("/bin/sh", "sh", "-c", script.c_str(), static_cast<char *>(nullptr));
            _exit(99);
        });
        ASSERT_TRUE(r.exitedWith(0)) << c.flags << ": " << r.output;
        if (c.inherited)
            EXPECT_EQ(r.output, path + "\n") << c.flags;
        else
            EXPECT_NE(r.output.find("closed\n"), std::string::npos) << c.flags << ": " << r.output;
    }
}

TEST_F(PidFile, RegionIsLockedNamesTheHolderOfAConflictingLock)
{
    writeFile(std::string(100, 'x'));
    int fd = open(path.c_str(), O_RDWR);
    ASSERT_NE(fd, -1);
    EXPECT_EQ(regionIsLocked(fd, F_WRLCK, SEEK_SET, 0, 0), 0);

    Holder holder;
    holder.start([&] {
        int own = open(path.c_str(), O_RDWR);
        if (own == -1 || lockRegion(own, F_RDLCK, SEEK_SET, 10, 10) == -1)
            _exit(2);
    });
    struct Case {
        int type;
        off_t start, len;
        pid_t expected;
    };
    const Case cases[] = {
        {F_WRLCK, 0, 5, 0},           {F_WRLCK, 15, 20, holder.pid},
        {F_WRLCK, 0, 0, holder.pid},  {F_RDLCK, 10, 10, 0},
        {F_WRLCK, 20, 0, 0},          {F_WRLCK, 19, 1, holder.pid},
    };
    for (const Case &c : cases)
        EXPECT_EQ(regionIsLocked(fd, c.type, SEEK_SET, c.start, c.len), c.expected)
            << c.type << " " << c.start << "+" << c.len;

    errno = 0;
    EXPECT_EQ(lockRegion(fd, F_WRLCK, SEEK_SET, 0, 0), -1);
    EXPECT_TRUE(errno == EAGAIN || errno == EACCES) << errno;
    EXPECT_EQ(lockRegion(fd, F_RDLCK, SEEK_SET, 0, 0), 0);
    EXPECT_EQ(lockRegion(fd, F_UNLCK, SEEK_SET, 0, 0), 0);

    holder.finish();
    EXPECT_EQ(regionIsLocked(fd, F_WRLCK, SEEK_SET, 0, 0), 0);
    EXPECT_EQ(regionIsLocked(-1, F_WRLCK, SEEK_SET, 0, 0), -1);
    close(fd);
}

TEST_F(PidFile, LockRegionWaitBlocksUntilTheHolderLetsGo)
{
    writeFile("");
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t holder = fork();
    if (holder == 0) {
        int own = open(path.c_str(), O_RDWR);
        if (own == -1 || lockRegion(own, F_WRLCK, SEEK_SET, 0, 0) == -1)
            _exit(2);
        char byte = 1;
        (void)!write(ready[1], &byte, 1);
        usleep(300 * 1000);
        _exit(0);
    }
    close(ready[1]);
    char byte;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    close(ready[0]);

    int fd = open(path.c_str(), O_RDWR);
    auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(lockRegionWait(fd, F_WRLCK, SEEK_SET, 0, 0), 0);
    auto waited = std::chrono::steady_clock::now() - before;
    EXPECT_GE(waited, std::chrono::milliseconds(200));
    int status;
    waitpid(holder, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    close(fd);
}

} // namespace

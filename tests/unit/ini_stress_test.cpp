// SPDX-License-Identifier: GPL-2.0-or-later
// The configuration file under a writer killed at any moment and under many
// writers and a reader at once: it is always the old or the new version,
// every change lands, and a dead writer never blocks the next.
#include "common/config/ini_store.hpp"
#include "numbered.hpp"
#include "scratch_dir.hpp"

#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

std::string read_file(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return "<no file>";
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void write_file(const fs::path &path, const std::string &content)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

// A configuration of about 4 MiB, so that copying it takes a while.
std::string big_config(const std::string &timer, const std::string &sleep)
{
    std::string text = "[General]\ntimer=" + timer + "\nsleep=" + sleep + "\n";
    char line[80];
    for (int i = 0; i < 65536; i++) {
        snprintf(line, sizeof line, "; filler %06d ..............................................\n",
                 i);
        text += line;
    }
    return text + "[User]\ncommand1=sync\n";
}

pid_t start_child(const std::function<int()> &body)
{
    const pid_t pid = fork();
    if (pid == 0)
        _exit(body());
    return pid;
}

// Exit status of the child, or -1 when it did not end within `limit`.
int wait_child(pid_t pid, std::chrono::milliseconds limit)
{
    const auto deadline = Clock::now() + limit;
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (Clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

class IniStressTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        file_ = dir_ / "bexo.cfg";
        temp_ = dir_ / "bexo.cf~";
    }

    int put(const char *section, const char *key, const char *value)
    {
        return ini_puts(section, key, value, file_.c_str());
    }

    ScratchDir scratch_{"ini_stress"};
    fs::path dir_ = scratch_.path();
    fs::path file_;
    fs::path temp_;
};

TEST_F(IniStressTest, KilledWriterLeavesOldOrNewFileNeverPartial)
{
    const std::string old_text = big_config("1", "5");
    const std::string new_text = big_config("2", "5");

    // One undisturbed change shows how long a change takes here.
    write_file(file_, old_text);
    const auto start = Clock::now();
    ASSERT_EQ(wait_child(start_child([&] { return put("General", "timer", "2"); }),
                         std::chrono::seconds(60)),
              1);
    const auto duration = Clock::now() - start;
    ASSERT_EQ(read_file(file_), new_text);

    const int runs = 200;
    int old_seen = 0;
    int new_seen = 0;
    for (int run = 0; run < runs; run++) {
        write_file(file_, old_text);
        // Kill moments spread from the start to somewhat past the end.
        const auto delay = duration * 12 / 10 * run / runs;
        const pid_t pid = start_child([&] { return put("General", "timer", "2"); });
        std::this_thread::sleep_for(delay);
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);

        const std::string text = read_file(file_);
        if (text == old_text) {
            old_seen++;
        } else if (text == new_text) {
            new_seen++;
        } else {
            FAIL() << "run " << run << ": file is neither old nor new (" << text.size()
                   << " bytes)";
        }
    }
    // Both outcomes occur, so the kills did land inside the change.
    EXPECT_GT(old_seen, 0);
    EXPECT_GT(new_seen, 0);
    RecordProperty("old", old_seen);
    RecordProperty("new", new_seen);
}

TEST_F(IniStressTest, WriterKilledWhileHoldingLockDoesNotBlockNext)
{
    write_file(file_, big_config("1", "5"));
    const pid_t holder = start_child([&] { return put("General", "timer", "2"); });
    // The copy exists only while its writer holds the lock.
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    while (!fs::exists(temp_) && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    ASSERT_TRUE(fs::exists(temp_));
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    const std::string timer = read_file(file_) == big_config("2", "5") ? "2" : "1";

    const pid_t next = start_child([&] { return put("General", "sleep", "9"); });
    EXPECT_EQ(wait_child(next, std::chrono::seconds(30)), 1);
    EXPECT_EQ(read_file(file_), big_config(timer, "9"));
    EXPECT_FALSE(fs::exists(temp_));
}

TEST_F(IniStressTest, ConcurrentWritersAllLandAndReadersNeverMissTheFile)
{
    std::string base = "; settings\n[General]\nsleep=5\n";
    for (int i = 0; i < 2000; i++)
        base += "; filler " + std::to_string(i) + "\n";
    base += "[User]\ncommand1=\"sync; sync\"\n";
    write_file(file_, base);

    // Everyone waits on this pipe until the parent closes it.
    int start_gate[2];
    ASSERT_EQ(pipe(start_gate), 0);
    int reader_stop[2];
    ASSERT_EQ(pipe(reader_stop), 0);
    const auto wait_for_start = [&] {
        close(start_gate[1]);
        char byte;
        return read(start_gate[0], &byte, 1) == 0;
    };

    const int writers = 16;
    const int rounds = 5;
    std::vector<pid_t> pids;
    for (int w = 0; w < writers; w++) {
        pids.push_back(start_child([&, w] {
            close(reader_stop[0]);
            close(reader_stop[1]);
            if (!wait_for_start())
                return 2;
            const std::string key = numbered("k", w);
            for (int r = 0; r < rounds; r++) {
                const std::string value = numbered(numbered("v", w) + "_", r);
                if (ini_puts("General", key.c_str(), value.c_str(), file_.c_str()) != 1)
                    return 1;
            }
            return 0;
        }));
    }
    const pid_t reader = start_child([&] {
        close(reader_stop[1]);
        if (!wait_for_start())
            return 2;
        int misses = 0;
        pollfd stop{reader_stop[0], POLLIN, 0};
        while (poll(&stop, 1, 0) == 0) {
            char command[100];
            ini_gets("User", "command1", "", command, sizeof command, file_.c_str());
            if (std::string(command) != "sync; sync" ||
                ini_getl("General", "sleep", -1, file_.c_str()) != 5)
                misses++;
        }
        return misses == 0 ? 0 : 1;
    });
    close(start_gate[0]);
    close(start_gate[1]);
    close(reader_stop[0]);

    for (int w = 0; w < writers; w++)
        EXPECT_EQ(wait_child(pids[static_cast<size_t>(w)], std::chrono::seconds(120)), 0)
            << "writer " << w;
    close(reader_stop[1]);
    EXPECT_EQ(wait_child(reader, std::chrono::seconds(30)), 0) << "a read missed the file";

    // Every key once with its last value; without those lines the file is
    // exactly what it was.
    std::string text = read_file(file_);
    for (int w = 0; w < writers; w++) {
        const std::string value = numbered(numbered("v", w) + "_", rounds - 1);
        const std::string line = numbered("k", w) + "=" + value + "\n";
        const size_t at = text.find(line);
        ASSERT_NE(at, std::string::npos) << line;
        text.erase(at, line.size());
        EXPECT_EQ(text.find(numbered("k", w) + "="), std::string::npos) << line;
    }
    EXPECT_EQ(text, base);
    EXPECT_FALSE(fs::exists(temp_));
}

} // namespace

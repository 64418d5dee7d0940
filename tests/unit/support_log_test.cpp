// SPDX-License-Identifier: GPL-2.0-or-later
#include "common/support/log.hpp"

#include "scratch_dir.hpp"
#include "support_child.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <cctype>
#include <optional>
#include <set>
#include <sched.h>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <vector>

namespace {

constexpr int NO_NAMESPACE = 77;

// Log writes to the fixed path, so each test runs it in a child with a
// private mount namespace where a temporary folder stands in for /var/log.
class EventLog : public ::testing::Test {
protected:
    ChildResult inPrivateLogDir(const std::function<void()> &body, bool readOnly = false)
    {
        ChildResult r = runInChild([&] {
            if (unshare(CLONE_NEWNS) != 0 ||
                mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                mount(dir.c_str(), "/var/log", nullptr, MS_BIND, nullptr) != 0)
                _exit(NO_NAMESPACE);
            if (readOnly &&
                mount("none", "/var/log", nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0)
                _exit(NO_NAMESPACE);
            body();
        });
        return r;
    }

    std::string contents() const
    {
        int fd = open(logFile.c_str(), O_RDONLY);
        if (fd == -1)
            return "<missing>";
        std::string text = readWhole(fd);
        close(fd);
        return text;
    }

    mode_t mode() const
    {
        struct stat st {};
        if (stat(logFile.c_str(), &st) != 0)
            return 0;
        return st.st_mode & 07777;
    }

    ScratchDir scratch{"bexo-log"};
    std::string dir = scratch.path().string();
    std::string logFile = dir + "/bexod.log";
};

#define SKIP_WITHOUT_NAMESPACE(r)                                                   \
    if ((r).exitedWith(NO_NAMESPACE))                                               \
    GTEST_SKIP() << "no private mount namespace (needs root)"

// asctime text without its line end, for a zone 14 hours east of UTC.
std::string stampEast14(time_t t)
{
    time_t shifted = t + 14 * 3600;
    struct tm broken {};
    gmtime_r(&shifted, &broken);
    char buf[32];
    asctime_r(&broken, buf);
    return std::string(buf, strlen(buf) - 1);
}

// "Www Mmm dd hh:mm:ss yyyy", the day of the month right-aligned.
bool isStamp(const std::string &s)
{
    const char *layout = "Aaa Aaa _9 99:99:99 9999";
    if (s.size() != strlen(layout))
        return false;
    for (size_t i = 0; i < s.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        bool ok = false;
        switch (layout[i]) {
        case 'A': ok = isupper(c); break;
        case 'a': ok = islower(c); break;
        case '9': ok = isdigit(c); break;
        case '_': ok = c == ' ' || (c >= '1' && c <= '3'); break;
        default: ok = c == static_cast<unsigned char>(layout[i]); break;
        }
        if (!ok)
            return false;
    }
    return true;
}

// Splits `text` into entries carrying exactly `messages`, in order;
// returns their time stamps, or nothing when the text does not match.
std::optional<std::vector<std::string>> stampsOf(const std::string &text,
                                                 const std::vector<std::string> &messages)
{
    std::vector<std::string> stamps;
    size_t pos = 0;
    for (const std::string &message : messages) {
        std::string stamp = text.substr(pos, 24);
        if (!isStamp(stamp) || text.compare(pos + 24, 3 + message.size(), " - " + message) != 0)
            return std::nullopt;
        stamps.push_back(stamp);
        pos += 27 + message.size();
    }
    if (pos != text.size())
        return std::nullopt;
    return stamps;
}

TEST_F(EventLog, EntryIsLocalAsctimeThenSeparatorThenTheMessageUnchanged)
{
    time_t before = time(nullptr);
    ChildResult r = inPrivateLogDir([] {
        setenv("TZ", "XYZ-14", 1);
        Log("BEXOD:  Voltage loss!\n");
        Log("no line end");
        Log("next\n");
    });
    time_t after = time(nullptr);
    SKIP_WITHOUT_NAMESPACE(r);
    ASSERT_TRUE(r.exitedWith(0)) << r.output;
    EXPECT_EQ(r.output, "");

    std::string text = contents();
    auto stamps = stampsOf(text, {"BEXOD:  Voltage loss!\n", "no line end", "next\n"});
    ASSERT_TRUE(stamps.has_value()) << text;

    std::set<std::string> possible;
    for (time_t t = before; t <= after; ++t)
        possible.insert(stampEast14(t));
    for (const std::string &stamp : *stamps)
        EXPECT_TRUE(possible.count(stamp)) << "stamp '" << stamp << "'";
}

TEST_F(EventLog, NewLogIsCreatedOwnerWriteGroupReadWhateverTheMask)
{
    for (mode_t mask : {0000, 0022, 0077, 0777}) {
        unlink(logFile.c_str());
        ChildResult r = inPrivateLogDir([mask] {
            umask(mask);
            printf("%d", Log("BEXOD: Entering Daemon BEXO.\n"));
            fflush(stdout);
        });
        SKIP_WITHOUT_NAMESPACE(r);
        EXPECT_EQ(r.output, "0") << std::oct << mask;
        EXPECT_EQ(mode(), 0640u) << std::oct << mask;
        EXPECT_NE(contents().find(" - BEXOD: Entering Daemon BEXO.\n"), std::string::npos);
    }
}

TEST_F(EventLog, ExistingLogKeepsItsModeAndEarlierEntries)
{
    int fd = open(logFile.c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_NE(fd, -1);
    ASSERT_EQ(write(fd, "earlier\n", 8), 8);
    fchmod(fd, 0600);
    close(fd);

    ChildResult r = inPrivateLogDir([] {
        umask(0);
        Log("later\n");
    });
    SKIP_WITHOUT_NAMESPACE(r);
    EXPECT_EQ(mode(), 0600u);
    std::string text = contents();
    ASSERT_EQ(text.substr(0, 8), "earlier\n");
    EXPECT_TRUE(stampsOf(text.substr(8), {"later\n"}).has_value()) << text;
}

TEST_F(EventLog, DeletedLogIsCreatedAnewByTheNextEntry)
{
    ChildResult r = inPrivateLogDir([] {
        umask(0);
        Log("first\n");
        unlink(EVENT_LOG_PATH);
        Log("second\n");
    });
    SKIP_WITHOUT_NAMESPACE(r);
    ASSERT_TRUE(r.exitedWith(0));
    EXPECT_TRUE(stampsOf(contents(), {"second\n"}).has_value()) << contents();
    EXPECT_EQ(mode(), 0640u);
}

TEST_F(EventLog, UnwritableLogDirectoryLosesTheEntrySilently)
{
    ChildResult r = inPrivateLogDir(
        [] {
            int result = Log("lost\n");
            printf("result=%d going on\n", result);
            fflush(stdout);
        },
        true);
    SKIP_WITHOUT_NAMESPACE(r);
    EXPECT_EQ(r.output, "result=-1 going on\n");
    EXPECT_EQ(contents(), "<missing>");
}

TEST_F(EventLog, ConcurrentWritersNeverSplitAnEntry)
{
    constexpr int writers = 4;
    constexpr int entries = 150;
    ChildResult r = inPrivateLogDir([] {
        std::vector<pid_t> pids;
        for (int w = 0; w < writers; ++w) {
            pid_t pid = fork();
            if (pid == 0) {
                std::string message(2000 + w * 500, static_cast<char>('a' + w));
                message += "\n";
                for (int i = 0; i < entries; ++i)
                    Log(message.c_str());
                _exit(0);
            }
            pids.push_back(pid);
        }
        for (pid_t pid : pids)
            waitpid(pid, nullptr, 0);
    });
    SKIP_WITHOUT_NAMESPACE(r);
    ASSERT_TRUE(r.exitedWith(0));

    std::string text = contents();
    int counts[writers] = {};
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        ASSERT_NE(end, std::string::npos);
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        ASSERT_GT(line.size(), 27u);
        ASSERT_TRUE(isStamp(line.substr(0, 24)) && line.compare(24, 3, " - ") == 0)
            << line.substr(0, 40);
        std::string body = line.substr(27);
        int w = body[0] - 'a';
        ASSERT_TRUE(w >= 0 && w < writers);
        ASSERT_EQ(body, std::string(2000 + w * 500, static_cast<char>('a' + w)));
        ++counts[w];
    }
    for (int w = 0; w < writers; ++w)
        EXPECT_EQ(counts[w], entries) << w;
}

} // namespace

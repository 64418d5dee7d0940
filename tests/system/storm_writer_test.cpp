// SPDX-License-Identifier: GPL-2.0-or-later
// Many bexo runs writing settings to one configuration file at once, some
// of them killed half-way: every key ends up stored once with a value one
// of them wrote, everything else in the file stays byte for byte, and a
// killed writer never blocks the next ones.

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "sim/world.hpp"

namespace {

using sim::World;

constexpr char CONFIG[] = "/opt/bexod/bexo.cfg";
constexpr char FOLDER[] = "/opt/bexod";

// Around [General]: a comment before it, a comment and a blank line in it,
// an unknown section with CR LF endings and the commands after it.
const std::string HEAD = "; B.EXO settings, edited by hand\n";
const std::string GENERAL_BODY = "address=0x36\n# seconds on battery\ntimer=30\n\n";
const std::string TAIL =
    "[Network]\r\nhost = pi.local ; comment\r\n\r\n"
    "[User]\ncommand1=sudo sync\ncommand2=logger \"bye; now\"\n";
const std::string FILE_TEXT = HEAD + "[General]\n" + GENERAL_BODY + TAIL;

struct Write {
    std::string option;
    std::string key;
    std::string value;
};

// Two runs for every settings option, with different values where the
// option allows it (-boot is only ever switched on here).
std::vector<Write> round_of_writes(int round) {
    const std::string r = std::to_string(round);
    return {
        {"-timer", "timer", std::to_string(10 + round)},   {"-timer", "timer", std::to_string(40 + round)},
        {"-sleep", "sleep", std::to_string(1 + round)},    {"-sleep", "sleep", std::to_string(5 + round)},
        {"-auto", "autostart", "0"},                        {"-auto", "autostart", "1"},
        {"-mail", "mail", "1"},                             {"-mail", "mail", "0"},
        {"-boot", "timed_boot", "1"},                       {"-boot", "timed_boot", "1"},
        {"-shutdown", "timed_shutdown", "0"},               {"-shutdown", "timed_shutdown", "1"},
        {"-setboot", "time_boot", "0" + r + ":15:00"},      {"-setboot", "time_boot", "1" + r + ":45:30"},
        {"-setshutdown", "time_shutdown", "2" + r + ":00:00"}, {"-setshutdown", "time_shutdown", "0" + r + ":30:59"},
    };
}

// A shell script that starts every write at once, SIGKILLs the ones named in
// `kill_after` (index → seconds) and prints "index status" for each run.
std::string script_for(const std::vector<Write> &writes, const std::map<size_t, double> &kill_after = {}) {
    std::ostringstream s;
    for (size_t i = 0; i < writes.size(); i++)
        s << "bexo " << writes[i].option << " " << writes[i].value << " >/dev/null 2>&1 & p" << i << "=$!\n";
    for (const auto &[i, seconds] : kill_after) s << "(sleep " << seconds << "; kill -KILL $p" << i << ") &\n";
    for (size_t i = 0; i < writes.size(); i++) s << "wait $p" << i << "; echo " << i << " $?\n";
    s << "wait\n";
    return s.str();
}

sim::RunOptions patient(double seconds) {
    sim::RunOptions o;
    o.timeout = seconds;
    return o;
}

std::map<size_t, int> statuses(const std::string &out) {
    std::map<size_t, int> result;
    std::istringstream in(out);
    size_t index;
    int status;
    while (in >> index >> status) result[index] = status;
    return result;
}

std::vector<std::string> text_lines(const std::string &text) {
    std::vector<std::string> out;
    size_t at = 0;
    while (at < text.size()) {
        const size_t end = text.find('\n', at);
        out.push_back(text.substr(at, end == std::string::npos ? std::string::npos : end + 1 - at));
        at = end == std::string::npos ? text.size() : end + 1;
    }
    return out;
}

// The file around [General] is untouched, every key of `allowed` stands in
// [General] exactly once with one of its allowed values, and the other lines
// of [General] are the original ones in their order.
void expect_sound_file(const std::string &file, const std::map<std::string, std::set<std::string>> &allowed) {
    ASSERT_EQ(file.rfind(HEAD + "[General]\n", 0), 0u) << file;
    ASSERT_GE(file.size(), TAIL.size());
    ASSERT_EQ(file.substr(file.size() - TAIL.size()), TAIL) << file;
    const std::string body = file.substr(HEAD.size() + 10, file.size() - TAIL.size() - HEAD.size() - 10);
    std::map<std::string, int> seen;
    std::string others;
    for (const std::string &line : text_lines(body)) {
        const size_t eq = line.find('=');
        const std::string key = eq == std::string::npos ? "" : line.substr(0, eq);
        if (!allowed.count(key)) {
            others += line;
            continue;
        }
        seen[key]++;
        ASSERT_EQ(line.back(), '\n');
        const std::string value = line.substr(eq + 1, line.size() - eq - 2);
        EXPECT_TRUE(allowed.at(key).count(value)) << key << "=" << value << " was never written\n" << file;
    }
    for (const auto &[key, values] : allowed) EXPECT_EQ(seen[key], 1) << key << " in\n" << file;
    std::string original_others;
    for (const std::string &line : text_lines(GENERAL_BODY))
        if (!allowed.count(line.substr(0, line.find('=')))) original_others += line;
    EXPECT_EQ(others, original_others) << file;
}

std::map<std::string, std::set<std::string>> allowed_values(const std::vector<Write> &writes) {
    std::map<std::string, std::set<std::string>> allowed;
    for (const Write &w : writes) allowed[w.key].insert(w.value);
    return allowed;
}

TEST(StormWriters, RoundsOfParallelWritersStoreEveryKeyOnceAndKeepTheRest) {
    World w;
    World::write_file(CONFIG, FILE_TEXT);
    for (int round = 1; round <= 4; round++) {
        const std::vector<Write> writes = round_of_writes(round);
        const sim::Result r = w.run({"sh", "-c", script_for(writes)}, patient(120));
        ASSERT_FALSE(r.timed_out) << "round " << round;
        const std::map<size_t, int> status = statuses(r.out);
        ASSERT_EQ(status.size(), writes.size()) << r.out;
        for (const auto &[i, s] : status) EXPECT_EQ(s, 0) << writes[i].option << " " << writes[i].value;
        SCOPED_TRACE("round " + std::to_string(round));
        expect_sound_file(w.config(), allowed_values(writes));
    }
    EXPECT_FALSE(World::exists("/opt/bexod/bexo.cf~"));
}

// Writers SIGKILLed at staggered moments of their runs, some perhaps while
// they hold the lock or have half a copy written: the others finish, and so
// does the next round; a killed writer may or may not have stored its value.
TEST(StormWriters, WritersKilledMidRunDoNotBlockTheOthers) {
    World w;
    World::write_file(CONFIG, FILE_TEXT);
    for (int round = 1; round <= 3; round++) {
        const std::vector<Write> writes = round_of_writes(round);
        const std::map<size_t, double> killed{{0, 0.01 * round}, {5, 0.05 * round}, {10, 0.1 * round},
                                              {15, 0.2 * round}};
        const sim::Result r = w.run({"sh", "-c", script_for(writes, killed)}, patient(120));
        ASSERT_FALSE(r.timed_out) << "round " << round;
        const std::map<size_t, int> status = statuses(r.out);
        ASSERT_EQ(status.size(), writes.size()) << r.out;
        for (const auto &[i, s] : status) {
            if (killed.count(i))
                EXPECT_TRUE(s == 0 || s == 128 + SIGKILL) << i << ": " << s;
            else
                EXPECT_EQ(s, 0) << writes[i].option << " " << writes[i].value;
        }
        // Each key has a writer that was not killed, so its value is one of
        // this round's.
        SCOPED_TRACE("round " + std::to_string(round));
        expect_sound_file(w.config(), allowed_values(writes));
    }
    // A last round with nobody killed stores exactly its own values.
    const std::vector<Write> last = round_of_writes(9);
    const sim::Result r = w.run({"sh", "-c", script_for(last)}, patient(120));
    for (const auto &[i, s] : statuses(r.out)) EXPECT_EQ(s, 0) << last[i].option;
    expect_sound_file(w.config(), allowed_values(last));
}

// Whether the folder lock is held by someone else now.
bool folder_locked() {
    const int folder = open(FOLDER, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0) return false;
    const bool locked = flock(folder, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    close(folder);
    return locked;
}

// A configuration whose rewrite takes a while: the settings first, then
// many megabytes of comment lines that every rewrite copies.
std::string long_configuration(void) {
    std::string text = FILE_TEXT;
    const std::string filler = "; " + std::string(500, '-') + "\n";
    while (text.size() < 64u * 1024 * 1024) text += filler;
    return text;
}

// A writer stopped inside its locked rewrite and killed there leaves the
// lock free for the next ones.
TEST(StormWriters, WriterKilledWhileHoldingTheLockLeavesItFree) {
    World w;
    const std::string pid_file = "/run/storm-writer.pid";
    World::write_file(CONFIG, long_configuration());
    // A run that ends before it is caught holding the lock is tried again.
    pid_t writer = 0;
    std::string missed;
    std::future<sim::Result> run;
    for (int attempt = 0; attempt < 5 && writer == 0; attempt++) {
        unlink(pid_file.c_str());
        run = std::async(std::launch::async, [&] {
            return w.run({"sh", "-c", "bexo -timer " + std::to_string(7 + attempt) +
                                          " >/dev/null 2>&1 & echo $! > " + pid_file +
                                          "; wait $!; echo status $?"},
                         patient(60));
        });
        while (run.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
            if (!folder_locked()) continue;
            std::string pid_text = World::read_file(pid_file);
            pid_text.insert(pid_text.begin(), '0');
            const pid_t pid = static_cast<pid_t>(std::stol(pid_text));
            if (pid <= 0) continue;  // the writer took the lock before its PID was written
            if (w.send_signal(pid, SIGSTOP) && folder_locked()) writer = pid;
            if (writer == 0) w.send_signal(pid, SIGCONT);
            break;
        }
        if (writer == 0) missed += run.get().out;
    }
    ASSERT_GT(writer, 0) << "the writer was never caught in its locked rewrite: " << missed;
    ASSERT_TRUE(w.send_signal(writer, SIGKILL));
    const sim::Result killed = run.get();
    EXPECT_EQ(killed.out, "status " + std::to_string(128 + SIGKILL) + "\n");
    EXPECT_FALSE(folder_locked());

    unlink(CONFIG);
    World::write_file(CONFIG, FILE_TEXT);
    const std::vector<Write> writes = round_of_writes(2);
    const sim::Result r = w.run({"sh", "-c", script_for(writes)}, patient(120));
    ASSERT_FALSE(r.timed_out);
    const std::map<size_t, int> status = statuses(r.out);
    ASSERT_EQ(status.size(), writes.size()) << r.out;
    for (const auto &[i, s] : status) EXPECT_EQ(s, 0) << writes[i].option;
    expect_sound_file(w.config(), allowed_values(writes));
}

}  // namespace

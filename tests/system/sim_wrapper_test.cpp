// SPDX-License-Identifier: GPL-2.0-or-later
// The world's wrapper and program overrides: bexo and bexod run under the
// command in BEXO_SIM_WRAPPER, whether the test starts them or a shell in the
// world finds them by name, keep their own name as argv[0], and the world's
// time-outs grow under a wrapper. The sudo shim serves as a wrapper that
// shows in the record and then runs its command.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "sim/world.hpp"

namespace {

using sim::Event;
using sim::World;

// Sets environment variables of this process for one scope.
class Environment {
public:
    Environment(std::initializer_list<std::pair<const char *, const char *>> values) {
        for (const auto &[name, value] : values) {
            const char *old = getenv(name);
            saved_.push_back({name, old ? std::optional<std::string>(old) : std::nullopt});
            setenv(name, value, 1);
        }
    }
    ~Environment() {
        for (const auto &[name, old] : saved_) {
            if (old)
                setenv(name.c_str(), old->c_str(), 1);
            else
                unsetenv(name.c_str());
        }
    }

private:
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

std::vector<std::string> wrapped_calls(const World &w) {
    std::vector<std::string> out;
    for (const Event &e : w.shim_calls("sudo")) {
        std::string line;
        for (const auto &a : e.args) line += (line.empty() ? "" : " ") + a;
        out.push_back(line);
    }
    return out;
}

struct Outcome {
    sim::Result r;
    std::vector<std::string> wrapped;
};

// The usage complaint of each program carries argv[0].
Outcome complaints(bool wrapped) {
    Environment env{{"BEXO_SIM_WRAPPER", wrapped ? "sudo" : ""}};
    World w;
    w.set_config("[General]\naddress=0x36\n");
    Outcome run;
    run.r = w.run({"sh", "-c", "bexo -x; bexod -x; echo status $?"});
    run.wrapped = wrapped_calls(w);
    return run;
}

TEST(SimWrapper, ProgramsRunUnderTheWrapperByNameWithTheSameBytes) {
    const Outcome plain = complaints(false);
    const Outcome wrapped = complaints(true);
    EXPECT_EQ(plain.wrapped, std::vector<std::string>{});
    EXPECT_EQ(wrapped.wrapped, (std::vector<std::string>{"bexo -x", "bexod -x"}));
    EXPECT_NE(plain.r.err.find("bexo: unrecognized option '-x'"), std::string::npos) << plain.r.err;
    EXPECT_EQ(wrapped.r.out, plain.r.out);
    EXPECT_EQ(wrapped.r.err, plain.r.err);
    EXPECT_EQ(wrapped.r.status, plain.r.status);
}

TEST(SimWrapper, StartedByTheTestAndAsAnotherUserToo) {
    Environment env{{"BEXO_SIM_WRAPPER", "sudo"}};
    World w;
    w.set_config("[General]\naddress=0x36\n");
    const sim::Result daemon = w.bexod({"-status"});
    EXPECT_EQ(daemon.out, "B.EXO Daemon stopped...\n");
    sim::RunOptions user;
    user.as_user = true;
    const sim::Result refused = w.bexod({"-status"}, user);
    EXPECT_EQ(refused.out, "Please start the software with superuser privilegs.\n");
    EXPECT_EQ(wrapped_calls(w), (std::vector<std::string>{"bexod -status", "bexod -status"}));
    // The programs found the copies first on PATH; nothing else there changed.
    const sim::Result path = w.run({"sh", "-c", "command -v bexo"});
    EXPECT_EQ(path.out, w.bin_dir() + "/bexo\n");
}

TEST(SimWrapper, OverriddenProgramsAreCopiedInstead) {
    const std::string other = "/tmp/sim-wrapper-test-" + std::to_string(getpid());
    World::write_file(other, "#!/bin/sh\necho \"other ${0##*/} $*\"\n");
    chmod(other.c_str(), 0755);
    {
        Environment env{{"BEXO_SIM_BEXO", other.c_str()}};
        EXPECT_EQ(sim::bexo_path(), other);
        World w;
        EXPECT_EQ(w.bexo({"-capbat", "0"}).out, "other bexo -capbat 0\n");
    }
    {
        Environment env{{"BEXO_SIM_BEXOD", other.c_str()}, {"BEXO_SIM_WRAPPER", "sudo"}};
        World w;
        EXPECT_EQ(w.bexod({"-status"}).out, "other bexod -status\n");
        EXPECT_EQ(wrapped_calls(w), (std::vector<std::string>{"bexod -status"}));
    }
    unlink(other.c_str());
}

TEST(SimWrapper, TimeOutsScaleOnlyUnderAWrapperUnlessSet) {
    const struct {
        const char *wrapper;
        const char *scale;
        double factor;
    } cases[] = {{"", "", 1}, {"sudo", "", 5}, {"sudo", "2.5", 2.5}, {"", "3", 3}, {"sudo", "x", 5}};
    for (const auto &c : cases) {
        Environment env{{"BEXO_SIM_WRAPPER", c.wrapper}, {"BEXO_SIM_TIME_SCALE", c.scale}};
        EXPECT_EQ(sim::time_scale(), c.factor) << c.wrapper << " " << c.scale;
        EXPECT_EQ(sim::scaled(2), 2 * c.factor);
    }
}

TEST(SimWrapper, WaitsAndRunsLastTheScaledTime) {
    Environment env{{"BEXO_SIM_WRAPPER", "sudo"}, {"BEXO_SIM_TIME_SCALE", "4"}};
    World w;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(w.wait_for([] { return false; }, 0.1));
    EXPECT_GE(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 0.4);
    sim::RunOptions o;
    o.timeout = 0.2;
    const sim::Result r = w.run({"sh", "-c", "sleep 0.5; echo done"}, o);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.out, "done\n");
    o.timeout = 0.05;
    EXPECT_TRUE(w.run({"sleep", "5"}, o).timed_out);
}

// A process whose command name is not the program's, with the program's
// name as a word of its command line, as valgrind or qemu shows it.
TEST(SimWrapper, ProgramsAreRecognisedThroughTheWrappersCommandLine) {
    const pid_t pid = fork();
    if (pid == 0) {
        execl("/bin/sh", "sh", "-c", "sleep 5; true", "/some/where/bexod", static_cast<char *>(nullptr));
        _exit(127);
    }
    usleep(200000);
    {
        Environment env{{"BEXO_SIM_WRAPPER", ""}};
        EXPECT_FALSE(sim::is_program(pid, "bexod"));
        EXPECT_TRUE(sim::is_program(pid, "sh"));
    }
    {
        Environment env{{"BEXO_SIM_WRAPPER", "valgrind"}};
        EXPECT_TRUE(sim::is_program(pid, "bexod"));
        EXPECT_FALSE(sim::is_program(pid, "bexo"));
        EXPECT_FALSE(sim::is_program(pid, "xod"));
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    EXPECT_FALSE(sim::is_program(pid, "bexod"));
}

}  // namespace

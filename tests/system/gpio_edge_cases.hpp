// SPDX-License-Identifier: GPL-2.0-or-later
// The sysfs rules of a line's edge and of poll() on its value file, as one
// table that both the simulated world (world_test.cpp) and the real kernel
// (kernel_test.cpp) must answer alike. Each case runs sim-probe in the
// background on an exported input line that the board holds low, with its
// edge "none"; "@rise" and "@fall" set the board's line once the probe has
// done the steps before it, or, right after a poll, once the probe waits in
// that poll. Every other step prints one line.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "tests/system/daemon_support.hpp"

namespace gpio_edge {

struct Step {
    std::string step;    // {N}: the line's kernel number; {G}: "/sys/class/gpio/"
    std::string result;  // the probe's line ({D}: the digits of N); none for an action
};

struct Case {
    const char *name;
    std::vector<Step> steps;
};

inline const std::vector<Case> &cases() {
    static const std::vector<Case> all = {
        {"rising on an input wakes a poll for POLLPRI, until the value is read",
         {{"gedge:{N}=rising", "gedge 0 OK"},
          {"rfile:{G}gpio{N}/edge", "rfile 7 OK \"rising\\n\""},
          {"gopen:{N}", "gopen 0 OK"},
          {"cloexec", "cloexec 1 OK"},
          {"poll:pri,0", "poll 1 OK PRI,ERR"},  // a descriptor just opened
          {"gread", "gread 0 OK"},
          {"poll:pri,0", "poll 0 OK"},
          {"poll:in+pri,0", "poll 1 OK IN"},  // always readable: ask for POLLPRI only
          {"poll:pri,5000", "poll 1 OK PRI,ERR"},
          {"@rise", ""},
          {"poll:pri,0", "poll 1 OK PRI,ERR"},
          {"gread", "gread 1 OK"},
          {"poll:pri,0", "poll 0 OK"},
          {"gclose", "gclose 0 OK"}}},
        {"no wake without the edge, while an output or on a fall; armed across high and in",
         {{"gopen:{N}", "gopen 0 OK"},
          {"gread", "gread 0 OK"},
          {"poll:pri,2000", "poll 0 OK"},
          {"@rise", ""},
          {"gedge:{N}=rising", "gedge 0 OK"},
          {"gread", "gread 1 OK"},
          {"wfile:{G}gpio{N}/direction=high", "wfile 4 OK"},
          {"rfile:{G}gpio{N}/edge", "rfile 7 OK \"rising\\n\""},
          {"poll:pri,2000", "poll 0 OK"},
          {"@fall", ""},
          {"poll:pri,2000", "poll 0 OK"},
          {"@rise", ""},
          {"wfile:{G}gpio{N}/direction=in", "wfile 2 OK"},
          {"gread", "gread 1 OK"},
          {"poll:pri,2000", "poll 0 OK"},
          {"@fall", ""},
          {"gread", "gread 0 OK"},
          {"poll:pri,5000", "poll 1 OK PRI,ERR"},
          {"@rise", ""},
          {"gread", "gread 1 OK"}}},
        {"an edge on an output and an unknown word are refused",
         {{"wfile:{G}gpio{N}/direction=out", "wfile 3 OK"},
          {"wfile:{G}gpio{N}/edge=rising", "wfile -1 EIO"},
          {"gedge:{N}=falling", "gedge -1 EIO"},
          {"rfile:{G}gpio{N}/edge", "rfile 5 OK \"none\\n\""},
          {"wfile:{G}gpio{N}/edge=none", "wfile 4 OK"},
          {"wfile:{G}gpio{N}/direction=in", "wfile 2 OK"},
          {"wfile:{G}gpio{N}/edge=up", "wfile -1 EINVAL"},
          {"gedge:{N}=up", "gedge -1 EINVAL"},
          {"rfile:{G}gpio{N}/edge", "rfile 5 OK \"none\\n\""}}},
        {"unexport ends the descriptor and the edge; a new export starts with none",
         {{"gedge:{N}=rising", "gedge 0 OK"},
          {"gopen:{N}", "gopen 0 OK"},
          {"gread", "gread 0 OK"},
          {"wfile:{G}unexport={N}", "wfile {D} OK"},
          {"poll:pri,0", "poll 1 OK PRI,ERR"},
          {"gread", "gread -1 ENODEV"},
          {"wfile:{G}export={N}", "wfile {D} OK"},
          {"rfile:{G}gpio{N}/edge", "rfile 5 OK \"none\\n\""},
          {"gread", "gread -1 ENODEV"},
          {"gclose", "gclose 0 OK"},
          {"gopen:{N}", "gopen 0 OK"},
          {"gread", "gread 0 OK"}}},
    };
    return all;
}

inline std::string fill(std::string text, int line) {
    const std::pair<std::string, std::string> names[] = {
        {"{N}", std::to_string(line)}, {"{D}", std::to_string(std::to_string(line).size())},
        {"{G}", "/sys/class/gpio/"}};
    for (const auto &[name, value] : names)
        for (size_t at; (at = text.find(name)) != std::string::npos;) text.replace(at, name.size(), value);
    return text;
}

inline std::string shell_word(const std::string &word) {
    std::string s = "'";
    for (char c : word) s += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return s + "'";
}

// Where a probe runs: start it in the background with its standard output
// and error going to files, read them, set the board's line (returning once
// the level has taken effect), and wait.
struct Host {
    std::function<void(const std::string &arguments)> start;
    std::function<std::string()> out;
    std::function<std::string()> err;
    std::function<void(bool high)> set_line;
    std::function<bool(const std::function<bool()> &, double)> wait_for;
};

// The probe's lines for `steps` (expected results left out), line `line`
// exported first.
inline std::vector<std::string> run(const Host &h, int line, const std::vector<Step> &steps) {
    struct Action {
        size_t lines_before;
        int poll;  // the poll it follows (from 1), or 0
        bool high;
    };
    std::string arguments = shell_word(fill("wfile:{G}export={N}", line));
    std::vector<Action> actions;
    size_t lines_before = 1;
    int polls = 0;
    int last_poll = 0;
    for (const Step &s : steps) {
        if (s.step[0] == '@') {
            actions.push_back({lines_before, last_poll, s.step == "@rise"});
            continue;
        }
        arguments += ' ';
        arguments += shell_word(fill(s.step, line));
        lines_before++;
        last_poll = s.step.rfind("poll:", 0) == 0 ? ++polls : 0;
    }
    h.start(arguments);
    for (const Action &a : actions) {
        const std::string waiting = "polling " + std::to_string(a.poll) + "\n";
        EXPECT_TRUE(h.wait_for([&] {
            return a.poll ? h.err().find(waiting) != std::string::npos
                          : daemon_test::lines(h.out()).size() >= a.lines_before;
        }, 30)) << "the probe did not get to the action " << a.lines_before << ": " << h.out() << h.err();
        h.set_line(a.high);
    }
    EXPECT_TRUE(h.wait_for([&] { return daemon_test::lines(h.out()).size() >= lines_before; }, 30))
        << h.out() << h.err();
    std::vector<std::string> out = daemon_test::lines(h.out());
    if (!out.empty()) out.erase(out.begin());  // the export
    return out;
}

inline std::vector<std::string> expected(const std::vector<Step> &steps, int line) {
    std::vector<std::string> out;
    for (const Step &s : steps)
        if (s.step[0] != '@') out.push_back(fill(s.result, line));
    return out;
}

}  // namespace gpio_edge

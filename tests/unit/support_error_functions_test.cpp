// SPDX-License-Identifier: GPL-2.0-or-later
#include "common/support/error_functions.hpp"

#include "support_child.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string bracket(const std::string &name, int err)
{
    return " [" + name + " " + strerror(err) + "]";
}

struct ReportCase {
    const char *label;
    std::function<void()> call;
    std::string expected;
};

TEST(ErrorReports, EachReporterWritesItsLineAndExitsWithStatusOne)
{
    const std::vector<ReportCase> cases = {
        {"errExit", [] { errno = EACCES; errExit("Could not open PID file %s", "/var/run/bexod.pid"); },
         "ERROR" + bracket("EACCES", EACCES) + " Could not open PID file /var/run/bexod.pid\n"},
        {"fatal", [] { fatal("PID file '%s' is locked; probably '%s' is already running",
                             "/var/run/bexod.pid", "bexod"); },
         "ERROR: PID file '/var/run/bexod.pid' is locked; probably 'bexod' is already running\n"},
        {"errExitEN", [] { errno = 0; errExitEN(ENOENT, "step %d", 3); },
         "ERROR" + bracket("ENOENT", ENOENT) + " step 3\n"},
        {"err_exit", [] { errno = EAGAIN; err_exit("child %s", "failed"); },
         "ERROR" + bracket("EAGAIN/EWOULDBLOCK", EAGAIN) + " child failed\n"},
        {"usageErr", [] { usageErr("%s -start\n", "bexod"); }, "Usage: bexod -start\n"},
        {"cmdLineErr", [] { cmdLineErr("bad %s", "option"); },
         "Command-line usage error: bad option"},
    };
    for (const auto &c : cases) {
        ChildResult r = runInChild(c.call);
        EXPECT_TRUE(r.exitedWith(1)) << c.label;
        EXPECT_EQ(r.output, c.expected) << c.label;
    }
}

TEST(ErrorReports, NumbersWithoutANameAreShownAsUnknownOrEmpty)
{
    const std::vector<std::pair<int, std::string>> cases = {
        {0, "?UNKNOWN?"}, {134, "?UNKNOWN?"}, {1000, "?UNKNOWN?"}, {-1, "?UNKNOWN?"},
        {41, ""}, {58, ""}, {1, "EPERM"}, {133, "EHWPOISON"},
    };
    for (const auto &[err, name] : cases) {
        ChildResult r = runInChild([err = err] { errExitEN(err, "m"); });
        EXPECT_TRUE(r.exitedWith(1)) << err;
        EXPECT_EQ(r.output, "ERROR" + bracket(name, err) + " m\n") << err;
    }
}

TEST(ErrorReports, ErrMsgReturnsAndLeavesErrnoAsItWas)
{
    ChildResult r = runInChild([] {
        errno = ENOSPC;
        errMsg("first");
        printf("errno=%d\n", errno);
        fflush(stdout);
    });
    EXPECT_TRUE(r.exitedWith(0));
    EXPECT_EQ(r.output, "ERROR" + bracket("ENOSPC", ENOSPC) + " first\nerrno=" +
                            std::to_string(ENOSPC) + "\n");
}

TEST(ErrorReports, LongLinesAreCutTo499CharactersAndLoseTheLineFeed)
{
    // "ERROR: " takes 7 characters, so a 491-character message just fits.
    struct Case {
        size_t messageLength;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {491, "ERROR: " + std::string(491, 'x') + "\n"},
        {492, "ERROR: " + std::string(492, 'x')},
        {700, "ERROR: " + std::string(492, 'x')},
    };
    for (const auto &c : cases) {
        std::string message(c.messageLength, 'x');
        ChildResult r = runInChild([&] { fatal("%s", message.c_str()); });
        EXPECT_TRUE(r.exitedWith(1));
        EXPECT_EQ(r.output, c.expected) << c.messageLength;
        EXPECT_LE(r.output.size(), 499u);
    }
}

TEST(ErrorReports, LongErrorTextIsCutWithTheLine)
{
    std::string message(600, 'y');
    ChildResult r = runInChild([&] { errExitEN(EIO, "%s", message.c_str()); });
    std::string full = "ERROR" + bracket("EIO", EIO) + " " + message;
    EXPECT_TRUE(r.exitedWith(1));
    EXPECT_EQ(r.output, full.substr(0, 499));
}

TEST(ErrorReports, DumpCoreVariableAbortsOnlyWhenNotEmpty)
{
    struct Case {
        const char *value; // nullptr: unset
        bool aborts;
    };
    for (const Case &c : {Case{nullptr, false}, Case{"", false}, Case{"1", true}}) {
        for (bool immediate : {false, true}) {
            ChildResult r = runInChild([&] {
                if (c.value == nullptr)
                    unsetenv("EF_DUMPCORE");
                else
                    setenv("EF_DUMPCORE", c.value, 1);
                if (immediate)
                    err_exit("x");
                fatal("x");
            });
            const char *label = c.value == nullptr ? "(unset)" : c.value;
            if (c.aborts)
                EXPECT_TRUE(r.killedBy(SIGABRT)) << label << " " << immediate;
            else
                EXPECT_TRUE(r.exitedWith(1)) << label << " " << immediate;
        }
    }
}

void announceExitHandler()
{
    fputs("<exit handler>", stdout);
}

TEST(ErrorReports, NormalExitsFlushPendingOutputFirstImmediateExitDropsIt)
{
    const std::vector<ReportCase> cases = {
        {"errExit", [] { errno = EINVAL; errExit("r"); },
         "pending" + std::string("ERROR") + bracket("EINVAL", EINVAL) + " r\n<exit handler>"},
        {"fatal", [] { fatal("r"); }, "pendingERROR: r\n<exit handler>"},
        {"errExitEN", [] { errExitEN(EIO, "r"); },
         "pendingERROR" + bracket("EIO", EIO) + " r\n<exit handler>"},
        {"usageErr", [] { usageErr("r\n"); }, "pendingUsage: r\n<exit handler>"},
        {"err_exit", [] { errno = EIO; err_exit("r"); }, "ERROR" + bracket("EIO", EIO) + " r\n"},
    };
    for (const auto &c : cases) {
        ChildResult r = runInChild([&] {
            atexit(announceExitHandler);
            setvbuf(stdout, nullptr, _IOFBF, BUFSIZ);
            fputs("pending", stdout);
            c.call();
        });
        EXPECT_TRUE(r.exitedWith(1)) << c.label;
        EXPECT_EQ(r.output, c.expected) << c.label;
    }
}

// The system's own errno macros, to check the names the reports show.
#define ERRNO_ENTRY(name) {#name, name}
const std::map<std::string, int> systemErrno = {
    ERRNO_ENTRY(EPERM), ERRNO_ENTRY(ENOENT), ERRNO_ENTRY(ESRCH), ERRNO_ENTRY(EINTR),
    ERRNO_ENTRY(EIO), ERRNO_ENTRY(ENXIO), ERRNO_ENTRY(E2BIG), ERRNO_ENTRY(ENOEXEC),
    ERRNO_ENTRY(EBADF), ERRNO_ENTRY(ECHILD), ERRNO_ENTRY(EAGAIN), ERRNO_ENTRY(EWOULDBLOCK),
    ERRNO_ENTRY(ENOMEM), ERRNO_ENTRY(EACCES), ERRNO_ENTRY(EFAULT), ERRNO_ENTRY(ENOTBLK),
    ERRNO_ENTRY(EBUSY), ERRNO_ENTRY(EEXIST), ERRNO_ENTRY(EXDEV), ERRNO_ENTRY(ENODEV),
    ERRNO_ENTRY(ENOTDIR), ERRNO_ENTRY(EISDIR), ERRNO_ENTRY(EINVAL), ERRNO_ENTRY(ENFILE),
    ERRNO_ENTRY(EMFILE), ERRNO_ENTRY(ENOTTY), ERRNO_ENTRY(ETXTBSY), ERRNO_ENTRY(EFBIG),
    ERRNO_ENTRY(ENOSPC), ERRNO_ENTRY(ESPIPE), ERRNO_ENTRY(EROFS), ERRNO_ENTRY(EMLINK),
    ERRNO_ENTRY(EPIPE), ERRNO_ENTRY(EDOM), ERRNO_ENTRY(ERANGE), ERRNO_ENTRY(EDEADLK),
    ERRNO_ENTRY(EDEADLOCK), ERRNO_ENTRY(ENAMETOOLONG), ERRNO_ENTRY(ENOLCK),
    ERRNO_ENTRY(ENOSYS), ERRNO_ENTRY(ENOTEMPTY), ERRNO_ENTRY(ELOOP), ERRNO_ENTRY(ENOMSG),
    ERRNO_ENTRY(EIDRM), ERRNO_ENTRY(ECHRNG), ERRNO_ENTRY(EL2NSYNC), ERRNO_ENTRY(EL3HLT),
    ERRNO_ENTRY(EL3RST), ERRNO_ENTRY(ELNRNG), ERRNO_ENTRY(EUNATCH), ERRNO_ENTRY(ENOCSI),
    ERRNO_ENTRY(EL2HLT), ERRNO_ENTRY(EBADE), ERRNO_ENTRY(EBADR), ERRNO_ENTRY(EXFULL),
    ERRNO_ENTRY(ENOANO), ERRNO_ENTRY(EBADRQC), ERRNO_ENTRY(EBADSLT), ERRNO_ENTRY(EBFONT),
    ERRNO_ENTRY(ENOSTR), ERRNO_ENTRY(ENODATA), ERRNO_ENTRY(ETIME), ERRNO_ENTRY(ENOSR),
    ERRNO_ENTRY(ENONET), ERRNO_ENTRY(ENOPKG), ERRNO_ENTRY(EREMOTE), ERRNO_ENTRY(ENOLINK),
    ERRNO_ENTRY(EADV), ERRNO_ENTRY(ESRMNT), ERRNO_ENTRY(ECOMM), ERRNO_ENTRY(EPROTO),
    ERRNO_ENTRY(EMULTIHOP), ERRNO_ENTRY(EDOTDOT), ERRNO_ENTRY(EBADMSG),
    ERRNO_ENTRY(EOVERFLOW), ERRNO_ENTRY(ENOTUNIQ), ERRNO_ENTRY(EBADFD), ERRNO_ENTRY(EREMCHG),
    ERRNO_ENTRY(ELIBACC), ERRNO_ENTRY(ELIBBAD), ERRNO_ENTRY(ELIBSCN), ERRNO_ENTRY(ELIBMAX),
    ERRNO_ENTRY(ELIBEXEC), ERRNO_ENTRY(EILSEQ), ERRNO_ENTRY(ERESTART), ERRNO_ENTRY(ESTRPIPE),
    ERRNO_ENTRY(EUSERS), ERRNO_ENTRY(ENOTSOCK), ERRNO_ENTRY(EDESTADDRREQ),
    ERRNO_ENTRY(EMSGSIZE), ERRNO_ENTRY(EPROTOTYPE), ERRNO_ENTRY(ENOPROTOOPT),
    ERRNO_ENTRY(EPROTONOSUPPORT), ERRNO_ENTRY(ESOCKTNOSUPPORT), ERRNO_ENTRY(EOPNOTSUPP),
    ERRNO_ENTRY(ENOTSUP), ERRNO_ENTRY(EPFNOSUPPORT), ERRNO_ENTRY(EAFNOSUPPORT),
    ERRNO_ENTRY(EADDRINUSE), ERRNO_ENTRY(EADDRNOTAVAIL), ERRNO_ENTRY(ENETDOWN),
    ERRNO_ENTRY(ENETUNREACH), ERRNO_ENTRY(ENETRESET), ERRNO_ENTRY(ECONNABORTED),
    ERRNO_ENTRY(ECONNRESET), ERRNO_ENTRY(ENOBUFS), ERRNO_ENTRY(EISCONN), ERRNO_ENTRY(ENOTCONN),
    ERRNO_ENTRY(ESHUTDOWN), ERRNO_ENTRY(ETOOMANYREFS), ERRNO_ENTRY(ETIMEDOUT),
    ERRNO_ENTRY(ECONNREFUSED), ERRNO_ENTRY(EHOSTDOWN), ERRNO_ENTRY(EHOSTUNREACH),
    ERRNO_ENTRY(EALREADY), ERRNO_ENTRY(EINPROGRESS), ERRNO_ENTRY(ESTALE), ERRNO_ENTRY(EUCLEAN),
    ERRNO_ENTRY(ENOTNAM), ERRNO_ENTRY(ENAVAIL), ERRNO_ENTRY(EISNAM), ERRNO_ENTRY(EREMOTEIO),
    ERRNO_ENTRY(EDQUOT), ERRNO_ENTRY(ENOMEDIUM), ERRNO_ENTRY(EMEDIUMTYPE),
    ERRNO_ENTRY(ECANCELED), ERRNO_ENTRY(ENOKEY), ERRNO_ENTRY(EKEYEXPIRED),
    ERRNO_ENTRY(EKEYREVOKED), ERRNO_ENTRY(EKEYREJECTED), ERRNO_ENTRY(EOWNERDEAD),
    ERRNO_ENTRY(ENOTRECOVERABLE), ERRNO_ENTRY(ERFKILL), ERRNO_ENTRY(EHWPOISON),
};
#undef ERRNO_ENTRY

// The name part of the report errMsg writes for `err`, captured in-process.
std::string reportedName(int err)
{
    FILE *capture = tmpfile();
    int savedStderr = dup(STDERR_FILENO);
    fflush(stderr);
    dup2(fileno(capture), STDERR_FILENO);
    errno = err;
    errMsg("m");
    dup2(savedStderr, STDERR_FILENO);
    close(savedStderr);
    std::string line = readWhole(fileno(capture));
    fclose(capture);

    std::string tail = std::string(" ") + strerror(err) + "] m\n";
    if (line.rfind("ERROR [", 0) != 0 || line.size() < 7 + tail.size() ||
        line.compare(line.size() - tail.size(), tail.size(), tail) != 0)
        return "<malformed: " + line + ">";
    return line.substr(7, line.size() - 7 - tail.size());
}

std::vector<std::string> splitNames(const std::string &joined)
{
    std::vector<std::string> names;
    std::stringstream in(joined);
    for (std::string name; std::getline(in, name, '/');)
        names.push_back(name);
    return names;
}

TEST(ErrorReports, EveryNamedNumberMatchesTheSystemsErrnoMacros)
{
    std::map<int, std::string> shown;
    for (int err = 1; err <= 133; ++err) {
        shown[err] = reportedName(err);
        for (const std::string &name : splitNames(shown[err])) {
            auto it = systemErrno.find(name);
            ASSERT_NE(it, systemErrno.end()) << err << ": unknown name '" << name << "'";
            EXPECT_EQ(it->second, err) << name;
        }
    }
    // And the other way round: every system name up to 133 is shown.
    for (const auto &[name, value] : systemErrno) {
        if (value < 1 || value > 133)
            continue;
        auto names = splitNames(shown[value]);
        EXPECT_TRUE(std::find(names.begin(), names.end(), name) != names.end())
            << name << " missing from the report for " << value;
    }
    EXPECT_EQ(shown[41], "");
    EXPECT_EQ(shown[58], "");
    EXPECT_EQ(shown[11], "EAGAIN/EWOULDBLOCK");
    EXPECT_EQ(shown[35], "EDEADLK/EDEADLOCK");
    EXPECT_EQ(shown[95], "EOPNOTSUPP/ENOTSUP");
}

} // namespace

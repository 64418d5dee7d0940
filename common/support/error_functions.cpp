// SPDX-License-Identifier: GPL-2.0-or-later
#include "common/support/error_functions.hpp"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {

constexpr int BUF_SIZE = 500;
constexpr int MAX_ENAME = 133;

// Symbolic names of the Linux error numbers, indexed by number (the generic
// numbering shared by the ARM and x86 ports).
// clang-format off
const char *const ename[MAX_ENAME + 1] = {
    /*   0 */ "",
    /*   1 */ "EPERM", "ENOENT", "ESRCH", "EINTR", "EIO", "ENXIO",
    /*   7 */ "E2BIG", "ENOEXEC", "EBADF", "ECHILD", "EAGAIN/EWOULDBLOCK",
    /*  12 */ "ENOMEM", "EACCES", "EFAULT", "ENOTBLK", "EBUSY", "EEXIST",
    /*  18 */ "EXDEV", "ENODEV", "ENOTDIR", "EISDIR", "EINVAL", "ENFILE",
    /*  24 */ "EMFILE", "ENOTTY", "ETXTBSY", "EFBIG", "ENOSPC", "ESPIPE",
    /*  30 */ "EROFS", "EMLINK", "EPIPE", "EDOM", "ERANGE",
    /*  35 */ "EDEADLK/EDEADLOCK", "ENAMETOOLONG", "ENOLCK", "ENOSYS",
    /*  39 */ "ENOTEMPTY", "ELOOP", "", "ENOMSG", "EIDRM", "ECHRNG",
    /*  45 */ "EL2NSYNC", "EL3HLT", "EL3RST", "ELNRNG", "EUNATCH", "ENOCSI",
    /*  51 */ "EL2HLT", "EBADE", "EBADR", "EXFULL", "ENOANO", "EBADRQC",
    /*  57 */ "EBADSLT", "", "EBFONT", "ENOSTR", "ENODATA", "ETIME",
    /*  63 */ "ENOSR", "ENONET", "ENOPKG", "EREMOTE", "ENOLINK", "EADV",
    /*  69 */ "ESRMNT", "ECOMM", "EPROTO", "EMULTIHOP", "EDOTDOT", "EBADMSG",
    /*  75 */ "EOVERFLOW", "ENOTUNIQ", "EBADFD", "EREMCHG", "ELIBACC",
    /*  80 */ "ELIBBAD", "ELIBSCN", "ELIBMAX", "ELIBEXEC", "EILSEQ",
    /*  85 */ "ERESTART", "ESTRPIPE", "EUSERS", "ENOTSOCK", "EDESTADDRREQ",
    /*  90 */ "EMSGSIZE", "EPROTOTYPE", "ENOPROTOOPT", "EPROTONOSUPPORT",
    /*  94 */ "ESOCKTNOSUPPORT", "EOPNOTSUPP/ENOTSUP", "EPFNOSUPPORT",
    /*  97 */ "EAFNOSUPPORT", "EADDRINUSE", "EADDRNOTAVAIL", "ENETDOWN",
    /* 101 */ "ENETUNREACH", "ENETRESET", "ECONNABORTED", "ECONNRESET",
    /* 105 */ "ENOBUFS", "EISCONN", "ENOTCONN", "ESHUTDOWN", "ETOOMANYREFS",
    /* 110 */ "ETIMEDOUT", "ECONNREFUSED", "EHOSTDOWN", "EHOSTUNREACH",
    /* 114 */ "EALREADY", "EINPROGRESS", "ESTALE", "EUCLEAN", "ENOTNAM",
    /* 119 */ "ENAVAIL", "EISNAM", "EREMOTEIO", "EDQUOT", "ENOMEDIUM",
    /* 124 */ "EMEDIUMTYPE", "ECANCELED", "ENOKEY", "EKEYEXPIRED",
    /* 128 */ "EKEYREVOKED", "EKEYREJECTED", "EOWNERDEAD", "ENOTRECOVERABLE",
    /* 132 */ "ERFKILL", "EHWPOISON",
};
// clang-format on

[[noreturn]] void terminate(int useExit3) {
    const char *dump = getenv("EF_DUMPCORE");
    if (dump != nullptr && *dump != '\0') abort();
    if (useExit3) exit(1);
    _exit(1);
}

const char *errorName(int err) { return (err > 0 && err <= MAX_ENAME) ? ename[err] : "?UNKNOWN?"; }

void outputError(int useErr, int err, int flushStdout, const char *format, va_list ap)
    __attribute__((format(printf, 4, 0)));

void outputError(int useErr, int err, int flushStdout, const char *format, va_list ap) {
    char userMsg[BUF_SIZE];
    char errText[BUF_SIZE];
    char buf[BUF_SIZE];

    vsnprintf(userMsg, BUF_SIZE, format, ap);
    if (useErr)
        snprintf(errText, BUF_SIZE, " [%s %s]", errorName(err), strerror(err));
    else
        snprintf(errText, BUF_SIZE, ":");
    // A line longer than the buffer is cut, losing its line feed.
    if (snprintf(buf, BUF_SIZE, "ERROR%s %s\n", errText, userMsg) < 0) buf[0] = '\0';

    if (flushStdout) fflush(stdout);
    fputs(buf, stderr);
    fflush(stderr);
}

}  // namespace

void errMsg(const char *format, ...) {
    int savedErrno = errno;
    va_list argList;
    va_start(argList, format);
    outputError(1, errno, 1, format, argList);
    va_end(argList);
    errno = savedErrno;
}

void errExit(const char *format, ...) {
    va_list argList;
    va_start(argList, format);
    outputError(1, errno, 1, format, argList);
    va_end(argList);
    terminate(1);
}

// Leaves standard output unflushed and skips exit handlers, so a child
// process does not write out its parent's buffered output.
void err_exit(const char *format, ...) {
    va_list argList;
    va_start(argList, format);
    outputError(1, errno, 0, format, argList);
    va_end(argList);
    terminate(0);
}

void errExitEN(int errnum, const char *format, ...) {
    va_list argList;
    va_start(argList, format);
    outputError(1, errnum, 1, format, argList);
    va_end(argList);
    terminate(1);
}

void fatal(const char *format, ...) {
    va_list argList;
    va_start(argList, format);
    outputError(0, 0, 1, format, argList);
    va_end(argList);
    terminate(1);
}

namespace {

void usageReport(const char *prefix, const char *format, va_list ap)
    __attribute__((format(printf, 2, 0)));

void usageReport(const char *prefix, const char *format, va_list ap) {
    fflush(stdout);
    fputs(prefix, stderr);
    vfprintf(stderr, format, ap);
    fflush(stderr);
}

}  // namespace

void usageErr(const char *format, ...) {
    va_list argList;
    va_start(argList, format);
    usageReport("Usage: ", format, argList);
    va_end(argList);
    exit(1);
}

void cmdLineErr(const char *format, ...) {
    va_list argList;
    va_start(argList, format);
    usageReport("Command-line usage error: ", format, argList);
    va_end(argList);
    exit(1);
}

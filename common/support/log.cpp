// SPDX-License-Identifier: GPL-2.0-or-later
#include "common/support/log.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <syslog.h>
#include <unistd.h>

namespace {

constexpr mode_t LOG_MODE = S_IRUSR | S_IWUSR | S_IRGRP;  // 0640
constexpr int OPEN_TRIES = 3;
constexpr int TIME_BUF_SIZE = 32;

void (*copy_to)(int level, const char *message) = nullptr;
void (*at_fatal)(void) = nullptr;

// Opens the log for appending. A file this call creates gets mode 0640
// whatever the creation mask (the daemon runs with a mask of 0); an existing
// file keeps the mode it has.
int openLog(void) {
    for (int i = 0; i < OPEN_TRIES; ++i) {
        int fd = open(EVENT_LOG_PATH, O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC, LOG_MODE);
        if (fd != -1) {
            fchmod(fd, LOG_MODE);
            return fd;
        }
        if (errno != EEXIST) return -1;
        fd = open(EVENT_LOG_PATH, O_WRONLY | O_APPEND | O_CLOEXEC);
        if (fd != -1 || errno != ENOENT) return fd;
        // Deleted between the two opens: create it again.
    }
    return -1;
}

// The local time in asctime's layout, without its line end.
void timeText(char *buf) {
    struct tm local;
    time_t now = time(nullptr);
    buf[0] = '\0';
    tzset();
    if (localtime_r(&now, &local) == nullptr || asctime_r(&local, buf) == nullptr) {
        buf[0] = '\0';
        return;
    }
    size_t len = strlen(buf);
    if (len > 0) buf[len - 1] = '\0';
}

// One entry in the file; the result of closing it, or -1 when it could not
// be opened.
int append_entry(const char *message) {
    char stamp[TIME_BUF_SIZE];
    static const char separator[] = " - ";

    timeText(stamp);
    int fd = openLog();
    if (fd == -1) return -1;

    // One write for the whole entry, so that appends never interleave.
    struct iovec parts[3] = {
        {stamp, strlen(stamp)},
        {const_cast<char *>(separator), sizeof separator - 1},
        {const_cast<char *>(message), strlen(message)},
    };
    (void)!writev(fd, parts, 3);
    return close(fd);
}

}  // namespace

int Log(const char *message) { return Log(LOG_NOTICE, message); }

int Log(int level, const char *message) {
    const int result = append_entry(message);
    if (copy_to != nullptr) copy_to(level, message);
    return result;
}

void log_fatal(const char *message) {
    Log(LOG_ERR, message);
    if (at_fatal != nullptr) at_fatal();
    exit(1);
}

void log_set_at_fatal(void (*action)(void)) { at_fatal = action; }

void log_set_copy(void (*copy)(int level, const char *message)) { copy_to = copy; }

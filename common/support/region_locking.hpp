// SPDX-License-Identifier: GPL-2.0-or-later
// POSIX record locks (fcntl) over a region of an open file.
//
// The four routines are the helper layer's fixed interface and stay whole:
// the daemon calls only lockRegion (through createPidFile) and
// regionIsLocked; lockReg is their common step, lockRegionWait completes
// the set.
#pragma once

#include <sys/types.h>

int lockReg(int fd, int cmd, int type, int whence, off_t start, off_t len);
int lockRegion(int fd, int type, int whence, off_t start, off_t len);
int lockRegionWait(int fd, int type, int whence, off_t start, off_t len);
// 0 when a lock of `type` could be set, the holder's process id when not,
// -1 when the test itself fails.
pid_t regionIsLocked(int fd, int type, int whence, off_t start, off_t len);

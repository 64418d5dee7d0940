// SPDX-License-Identifier: GPL-2.0-or-later
// The daemon's single-instance PID file, held under a whole-file write lock.
#pragma once

inline constexpr int CPF_CLOEXEC = 1;

// Opens, locks, truncates and writes the PID file; returns its descriptor,
// which must stay open for the lock to last. Ends the process on failure.
int createPidFile(const char *progName, const char *pidFile, int flags);

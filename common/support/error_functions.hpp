// SPDX-License-Identifier: GPL-2.0-or-later
// Error reports on standard error that end the process: one line, with the
// symbolic name and text of an error number where there is one.
//
// The whole family is the helper layer's fixed interface and stays whole:
// the daemon calls only errExit and fatal (through createPidFile).
#pragma once

#define BEXO_PRINTF(a, b) __attribute__((format(printf, a, b)))

void errMsg(const char *format, ...) BEXO_PRINTF(1, 2);
[[noreturn]] void errExit(const char *format, ...) BEXO_PRINTF(1, 2);
[[noreturn]] void err_exit(const char *format, ...) BEXO_PRINTF(1, 2);
[[noreturn]] void errExitEN(int errnum, const char *format, ...) BEXO_PRINTF(2, 3);
[[noreturn]] void fatal(const char *format, ...) BEXO_PRINTF(1, 2);
[[noreturn]] void usageErr(const char *format, ...) BEXO_PRINTF(1, 2);
[[noreturn]] void cmdLineErr(const char *format, ...) BEXO_PRINTF(1, 2);

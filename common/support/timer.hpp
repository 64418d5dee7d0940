// SPDX-License-Identifier: GPL-2.0-or-later
// One process-wide periodic timer on SIGALRM that calls a registered routine.
#pragma once

#include <cstdint>

// Returns 0 when armed, 1 on failure (after a line on standard output).
int start_timer(int32_t milliseconds, void (*handler)(void));
// Disarms the timer and restores the SIGALRM action from before it started.
int stop_timer(void);

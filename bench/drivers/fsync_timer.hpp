// SPDX-License-Identifier: GPL-2.0-or-later
// Linked with -Wl,--wrap=fsync: every fsync the driver's engine makes still
// reaches the kernel, and the time it takes is added up here, so that a
// change's time splits into syncing and the rest within one run.
#pragma once

extern long long fsync_ns_total;

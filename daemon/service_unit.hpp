// SPDX-License-Identifier: GPL-2.0-or-later
// bexod's systemd unit: installing or removing it at start, and whether the
// daemon belongs to systemd, which then starts, stops and restarts it.
#pragma once

#include <sys/types.h>

// Copies and enables the unit when "autostart" is 1 and it is not
// installed; disables and removes an installed unit otherwise, unless
// "autostart" holds something that could not be read as a number.
void install_or_remove_service(void);

// True when the unit is enabled (the copy in /etc/systemd/system or the
// package's in /lib/systemd/system) and this process is not running inside
// it: starting a daemon from here would give it a second, unmanaged one,
// stopped late at shutdown and never restarted.
bool service_manages_daemon(void);

// True when "autostart" is 1, the unit is not yet in /etc/systemd/system
// and this process is not the unit's own: a start from here installs the
// unit first and leaves the daemon to systemd.
bool service_install_pending(void);

// Has systemd start, stop or restart (`action`) the unit's daemon; a
// failure is the user's to see and ends the run with status 1.
void ask_service_manager(const char *action);

// Whether process `pid` runs inside the unit (its cgroup is the unit's).
bool runs_in_service(pid_t pid);

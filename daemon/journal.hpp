// SPDX-License-Identifier: GPL-2.0-or-later
// A copy of every event-log line for the system log (the journal, or a
// remote syslog), on a connection of the daemon's own: facility daemon,
// identity "bexod", a level by event.
#pragma once

// The syslog level of one of the daemon's messages: warning and up for a
// supply loss, a power-off decision and a problem of bexo.cfg, error for
// what ends the daemon, info for the line's routine switches, notice for
// the rest.
int journal_level(const char *message);

// Sends the message (its line end left off) as one datagram to /dev/log.
// Never waits: with nothing listening, or a full queue, it is dropped; the
// event log keeps it.
void journal_send(const char *message);

// SPDX-License-Identifier: GPL-2.0-or-later
// A copy of every event-log line for the system log (the journal, or a
// remote syslog), on a connection of the daemon's own: facility daemon,
// identity "bexod", the level the line was logged with.
#pragma once

// Sends the message (its line end left off) with syslog level `level` as
// one datagram to /dev/log. Never waits: with nothing listening, or a full
// queue, it is dropped; the event log keeps it.
void journal_send(int level, const char *message);

#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# An example notify command for bexod, written as NUT's NOTIFYCMD scripts
# are: the message is the one argument ("UPS bexo on battery", ...),
# NOTIFYTYPE (ONBATT, ONLINE, LOWBATT, FSD, SHUTDOWN, COMMBAD, COMMOK) and
# UPSNAME are in the environment. To use it:
#   sudo install -m 0755 /usr/share/doc/bexo/examples/notify.sh /usr/local/bin/bexo-notify
# and in /opt/bexod/bexo.cfg (then sudo bexod -restart):
#   [Notify]
#   command=/usr/local/bin/bexo-notify
# bexod runs it as [Notify] user (nobody unless set), detached, and never
# waits for it; what it prints goes to the journal (journalctl -t
# bexod-notify). It writes no file and needs no home, so nobody can run it.
#
# It prints the message and, with NTFY_URL set below, sends it to an ntfy
# topic (https://ntfy.sh or a server of your own).

NTFY_URL=""    # e.g. https://ntfy.sh/my-pi-ups

message="$1"
case "$NOTIFYTYPE" in
    ONBATT | LOWBATT | FSD | SHUTDOWN | COMMBAD) priority=high ;;
    *) priority=default ;;
esac

echo "$UPSNAME $NOTIFYTYPE: $message"
if [ -n "$NTFY_URL" ]; then
    curl -fsS --max-time 20 -H "Title: $(hostname): $NOTIFYTYPE" -H "Priority: $priority" \
        -d "$message" "$NTFY_URL" >/dev/null || echo "sending to $NTFY_URL failed" >&2
fi

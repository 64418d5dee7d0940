#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Runs inside the simulated world: bexod exports the board's state, Debian's
# dummy-ups and upsd serve it from a scratch configuration, upsc reads it.
# Usage: nut-demo.sh PORT UPS_CONF_SECTION
set -e
port="$1"
dir=/run/nut-demo
mkdir -p "$dir/conf" "$dir/state"
printf 'MODE=netserver\n' > "$dir/conf/nut.conf"
cp "$2" "$dir/conf/ups.conf"
printf 'LISTEN 127.0.0.1 %s\n' "$port" > "$dir/conf/upsd.conf"
: > "$dir/conf/upsd.users"
chmod 600 "$dir/conf/upsd.conf" "$dir/conf/upsd.users"
export NUT_CONFPATH="$dir/conf" NUT_STATEPATH="$dir/state" NUT_ALTPIDPATH="$dir/state"

bexod -start
while [ ! -e /run/bexod/bexo.dev ]; do sleep 0.2; done
echo "--- /run/bexod/bexo.dev"
cat /run/bexod/bexo.dev
/lib/nut/dummy-ups -a bexo -u root > "$dir/dummy-ups.log" 2>&1
/lib/nut/upsd -u root > "$dir/upsd.log" 2>&1
sleep 3
echo "--- upsc bexo@127.0.0.1:$port"
upsc "bexo@127.0.0.1:$port" 2>/dev/null
echo "--- the supply fails; every 2 s: upsc bexo@127.0.0.1:$port ups.status ups.timer.shutdown"
for i in 1 2 3 4 5 6; do
    sleep 2
    echo "ups.status: $(upsc "bexo@127.0.0.1:$port" ups.status 2>/dev/null)," \
        "ups.timer.shutdown: $(upsc "bexo@127.0.0.1:$port" ups.timer.shutdown 2>/dev/null)"
done

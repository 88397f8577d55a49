#!/usr/bin/env bash
# The service's unit as systemd reads it: systemd-analyze verifies it, with the
# program where the unit names it, and rates its exposure at 2.0 or below; and
# every system call the program makes while it watches, serves metrics and writes
# to a journal, and while it publishes to an MQTT broker over TLS (Debian's mosquitto,
# in a network namespace of the test's own), is one that the unit's system call
# filter lets through.
# Usage: tst_unit.sh UNIT CORVALEN_CLI
set -euo pipefail
source "$(dirname "$0")/../common/shelltest.sh"
source "$(dirname "$0")/mosquittobroker.sh"
unit=$1
cli=$2
work=$(mktemp -d)
netns=cunit$$
trap 'stop_started; ip netns del "$netns" 2> /dev/null || true; rm -rf "$work"' EXIT

grep -q '^ExecStart=/usr/bin/corvalen-cli ' "$unit" || fail "ExecStart does not start /usr/bin/corvalen-cli"
sed "s|^ExecStart=/usr/bin/corvalen-cli |ExecStart=$cli |" "$unit" > "$work/corvalen-cli.service"
systemd-analyze verify --man=no "$work/corvalen-cli.service" > "$work/verify.txt" 2>&1 \
    || fail "verify: $(cat "$work/verify.txt")"
[ ! -s "$work/verify.txt" ] || fail "verify: $(cat "$work/verify.txt")"

systemd-analyze security --offline=yes --no-pager "$unit" > "$work/security.txt" 2>&1 || true
rating=$(sed -n 's/.*Overall exposure level for corvalen-cli.service: \([0-9.]*\) .*/\1/p' "$work/security.txt")
[ -n "$rating" ] || fail "no rating: $(cat "$work/security.txt")"
echo "exposure $rating"
awk -v rating="$rating" 'BEGIN { exit !(rating <= 2.0) }' || fail "exposure $rating is above 2.0"
# The filter's lines: groups and calls allowed, then "~" ones taken away again.
calls() {
    local name
    for name in "$@"; do
        case $name in
        @*) calls $(systemd-analyze syscall-filter "$name" | sed -n '2,$p' | grep -v '^ *#') ;;
        *) echo "$name" ;;
        esac
    done
}
allowed=$(calls $(sed -n 's/^SystemCallFilter=\([^~].*\)/\1/p' "$unit") | sort -u)
denied=$(calls $(sed -n 's/^SystemCallFilter=~\(.*\)/\1/p' "$unit") | sort -u)
if [ "$(id -u)" -eq 0 ]; then
    strace -f -qq -o "$work/trace" "$cli" --metrics 127.0.0.1:19409 --journal --timeout 3 > /dev/null 2>&1 &
    wait_for 30 grep -qs 'bind(.*19409' "$work/trace"
    curl -sf http://127.0.0.1:19409/metrics > /dev/null
    wakeonlan -i 127.0.0.1 02:c1:1e:00:00:5a > /dev/null
    wait $! || true
    # A sensor on a broker: TLS, a login, its status and an event published.
    ip netns add "$netns"
    ip -n "$netns" link set lo up
    broker_setup "$work/broker" 127.0.0.1
    broker_start "$netns"
    ip netns exec "$netns" strace -f -qq -o "$work/trace-mqtt" "$cli" --mqtt mqtts://127.0.0.1 --mqtt-user lab-1 \
        --mqtt-password-file "$broker_dir/lab-1.password" --mqtt-ca "$broker_dir/ca.crt" --name lab-1 --timeout 10 \
        > /dev/null 2> "$work/sensor.err" &
    sensor=$!
    wait_for 60 grep -q 'connected to the MQTT broker' "$work/sensor.err"
    broker_watch events viewer "$work/events" -t corvalen/lab-1/event
    ip netns exec "$netns" wakeonlan -i 127.0.0.1 02:c1:1e:00:00:5a > /dev/null
    wait_for 30 grep -q '"event":"magic"' "$work/events"
    wait "$sensor" || true
    used=$(cat "$work/trace" "$work/trace-mqtt" \
        | sed -E 's/^[0-9]+ +//; s/^<\.\.\. ([a-z0-9_]+) resumed.*/\1/; s/^([a-z0-9_]+)\(.*/\1/' \
        | grep -E '^[a-z0-9_]+$' | grep -vx execve | sort -u)
    refused=$(comm -23 <(echo "$used") <(comm -23 <(echo "$allowed") <(echo "$denied")))
    [ -z "$refused" ] || fail "system calls the filter refuses: $refused"
fi
echo "PASS"

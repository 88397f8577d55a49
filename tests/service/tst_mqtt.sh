#!/usr/bin/env bash
# Waking across a router through a sensor and Debian's mosquitto, with TLS, a password
# file and an ACL. Two segments, each a bridge of namespaces, joined by a router that
# forwards no broadcast: the sensor (lab-1) and a sleeping machine on one, the
# requester on the other; the broker runs on the router. The requester asks, the
# sensor sends on its own segment and proves the wake; refusals send nothing; a
# third-party client (mosquitto_pub, _sub, _rr) gets the documented replies; and
# the broker is stopped and started in the middle of a wake.
# Usage: tst_mqtt.sh CORVALEN_CLI WAKERESPONDER
set -euo pipefail
here=$(dirname "$0")
source "$here/../common/shelltest.sh"
source "$here/mosquittobroker.sh"
require_root
cli=$1
responder=$2
target_mac=02:c4:0b:00:00:d2
target_id=02-C4-0B-00-00-D2
sensor_mac=02:c4:0b:00:00:51

work=$(mktemp -d)
near=cmnear$$
far=cmfar$$
hosts=(cmsensor$$ cmtarget$$ cmrouter$$)
requester=cmreq$$
cleanup() {
    stop_started
    segment_down "$near" "$far" "${hosts[@]}" "$requester"
    [ -n "${KEEP_TEST_FILES:-}" ] || rm -rf "$work"
}
trap cleanup EXIT

# The near segment: sensor 10.93.0.1, target 10.93.0.2, router 10.93.0.3.
segment_up "$near" 10.93.0 "${hosts[@]}"
ip -n "${hosts[0]}" link set eth0 address "$sensor_mac"
ip -n "${hosts[1]}" link set eth0 address "$target_mac"
# The far segment: the requester 10.94.0.1; the router's second leg 10.94.0.2.
ip netns add "$far"
ip -n "$far" link add br0 type bridge
ip -n "$far" link set br0 up
ip netns add "$requester"
ip -n "$requester" link set lo up
ip netns exec "$requester" sysctl -q net.ipv6.conf.all.disable_ipv6=1
ip link add "${far}p1" netns "$far" type veth peer name eth0 netns "$requester"
ip link add "${far}p2" netns "$far" type veth peer name eth1 netns "${hosts[2]}"
ip -n "$far" link set "${far}p1" master br0 up
ip -n "$far" link set "${far}p2" master br0 up
ip -n "$requester" addr add 10.94.0.1/24 dev eth0
ip -n "${hosts[2]}" addr add 10.94.0.2/24 dev eth1
for host in "${hosts[@]}" "$requester"; do ip -n "$host" link set eth0 up; done
ip -n "${hosts[2]}" link set eth1 up
ip -n "${hosts[0]}" route add default via 10.93.0.3
ip -n "$requester" route add default via 10.94.0.2
# It routes, and forwards no directed broadcast (the kernel's default).
ip netns exec "${hosts[2]}" sysctl -q net.ipv4.ip_forward=1 net.ipv4.conf.all.bc_forwarding=0

# The broker, on the router's far address: the sensor reaches it through the router.
broker_setup "$work/broker" 10.94.0.2
broker_client_netns=$requester
broker_start "${hosts[2]}"
ca=$broker_dir/ca.crt
url=mqtts://10.94.0.2

count() { grep -c "$1" "$2" || true; }
lines() { grep -cx "$1" "$2" || true; }

# The sensor, as the service runs it: its password in a file only it can read.
ip netns exec "${hosts[0]}" "$cli" --mqtt "$url" --mqtt-user lab-1 --mqtt-password-file "$broker_dir/lab-1.password" \
    --mqtt-ca "$ca" --name lab-1 --interface eth0 --json > "$work/sensor.out" 2> "$work/sensor.err" &
sensor_pid=$!
pids+=("$sensor_pid")
wait_for 60 grep -q 'connected to the MQTT broker as sensor lab-1' "$work/sensor.err"
broker_sub viewer -t corvalen/lab-1/status -C 1 -W 10 > "$work/status"
[ "$(cat "$work/status")" = online ] || fail "status: $(cat "$work/status")"

# The target, awake for a moment, speaks on its segment: the sensor records where it lives.
# (A datagram to the sensor: its ARP request first.)
ip netns exec "${hosts[1]}" bash -c 'echo hello > /dev/udp/10.93.0.1/9' || fail "the near segment does not carry"
record_there() {
    broker_sub viewer -t "corvalen/+/machine/$target_id" -C 1 -W 2 > "$work/record" 2> /dev/null
}
wait_for 60 record_there
grep -q '"sensor":"lab-1"' "$work/record" || fail "record: $(cat "$work/record")"
grep -q '"interface":"eth0"' "$work/record" || fail "record's interface: $(cat "$work/record")"
grep -q '"address":"10.93.0.2"' "$work/record" || fail "record's address: $(cat "$work/record")"

# sleep_target [RESPONDER OPTIONS]: asleep until its magic packet comes.
sleep_target() {
    rm -f "$work/target"
    ip netns exec "${hosts[1]}" "$responder" eth0 "${BOOT_DELAY_MS:-300}" "$@" > "$work/target" &
    target_pid=$!
    pids+=("$target_pid")
    wait_for 30 grep -qx asleep "$work/target"
}
stop_target() {
    kill "$target_pid" 2> /dev/null || true
    wait "$target_pid" 2> /dev/null || true
}
# ask USER [OPTIONS]: corvalen-cli --wake --mqtt from the far segment; status in $status.
ask() {
    local user=$1
    shift
    status=0
    ip netns exec "$requester" "$cli" --mqtt "$url" --mqtt-user "$user" \
        --mqtt-password-file "${PASSWORD_FILE:-$broker_dir/$user.password}" --mqtt-ca "$ca" "$@" \
        > "$work/out" 2> "$work/err" || status=$?
}
expect_status() {
    [ "$status" -eq "$1" ] || fail "exit status $status, not $1: $(cat "$work/err" "$work/out")"
}

# It wakes: found through the retained record, woken by the sensor on its own segment.
sleep_target
ask admin --wake "$target_mac" --wake-timeout 30
expect_status 0
grep -q "asking lab-1 (lab-1 saw it last, on eth0 at 10.93.0.2)" "$work/err" || fail "which sensor: $(cat "$work/err")"
grep -q "^woke through lab-1 on eth0: .* from the machine [0-9.]* s after the magic packet" "$work/out" \
    || fail "woke: $(cat "$work/out" "$work/err")"
[ "$(count '^Sent a magic packet for 02-C4-0B-00-00-D2' "$work/out")" -eq 9 ] || fail "sent: $(cat "$work/out")"
[ "$(lines ethernet "$work/target")" -eq 3 ] || fail "Ethernet frames that arrived: $(cat "$work/target")"
[ "$(lines 'udp 10.93.0.255 9' "$work/target")" -eq 3 ] || fail "subnet broadcasts: $(cat "$work/target")"
grep -q '"event":"woke"' "$work/sensor.out" || fail "the sensor's own event: $(cat "$work/sensor.out")"
stop_target

# Asked again within 10 s, the sensor gives the same outcome and sends nothing.
sleep_target --never
ask admin --wake "$target_mac" --via lab-1 --json --wake-timeout 30
expect_status 0
grep -q '"event":"woke"' "$work/out" || fail "the outcome again: $(cat "$work/out")"
grep -q 'its outcome again, and no packet sent' "$work/err" || fail "again: $(cat "$work/err")"
[ "$(wc -l < "$work/target")" -eq 1 ] || fail "a packet within 10 s of the last wake: $(cat "$work/target")"

# Refusals, to a third-party client with a response topic of its own: each names the
# problem, and nothing reaches the target's segment.
refused() { # PAYLOAD REASON
    broker_rr admin -t corvalen/lab-1/wake -e corvalen/lab-1/wake/reply/rr -m "$1" -W 10 > "$work/rr" \
        || fail "no reply to $1"
    grep -q '"event":"refused"' "$work/rr" || fail "not refused, $1: $(cat "$work/rr")"
    grep -qF "$2" "$work/rr" || fail "the reason for $1: $(cat "$work/rr")"
}
refused 'not json' 'the request is not JSON'
refused '{"mac": 5}' '\"mac\" must be a string, not number'
refused '{"mac":"02:c4:0b:00:00:d2","port":"nine"}' '\"port\" must be a whole number, not string'
refused '{"mac":"FF:FF:FF:FF:FF:FF"}' 'FF-FF-FF-FF-FF-FF'
refused "{\"mac\":\"$sensor_mac\"}" '02-C4-0B-00-00-51'
refused "{\"mac\":\"$target_mac\",\"pad\":\"$(head -c 5000 /dev/zero | tr '\0' x)\"}" 'at most 4096 are read'
# Without a response topic (an MQTT 3.1.1 client, an automation's button) the replies
# go to the sensor's reply topic.
broker_watch plain viewer "$work/plain" -t corvalen/lab-1/wake/reply
broker_pub admin -V mqttv311 -t corvalen/lab-1/wake -m '[1]'
wait_for 30 grep -q '"event":"refused".*must be a JSON object' "$work/plain"
[ "$(wc -l < "$work/target")" -eq 1 ] || fail "a refused request sent a packet: $(cat "$work/target")"
stop_target

# The broker's ACL decides: a viewer may not ask, and says so with MQTT 5's reason code.
ask viewer --wake "$target_mac" --via lab-1
expect_status 3
grep -q 'the broker does not let viewer send to corvalen/lab-1/wake: Not authorized' "$work/err" \
    || fail "viewer: $(cat "$work/err")"
# Nobody has seen this machine.
ask admin --wake 02:c4:0b:00:00:99
expect_status 3
grep -q 'no sensor has seen 02-C4-0B-00-00-99' "$work/err" || fail "unseen: $(cat "$work/err")"
# A broker whose certificate this side does not trust.
ask admin --wake "$target_mac" --mqtt-ca "$broker_dir/other-ca.crt"
expect_status 3
grep -q "certificate is not trusted" "$work/err" || fail "untrusted: $(cat "$work/err")"
# password_case USER MODE STATUS TEXT: admin logs in with USER's password, from a file of MODE.
password_case() {
    cp "$broker_dir/$1.password" "$work/case.password"
    chmod "$2" "$work/case.password"
    PASSWORD_FILE=$work/case.password ask admin --wake "$target_mac"
    expect_status "$3"
    grep -q "$4" "$work/err" || fail "password of $1, mode $2: $(cat "$work/err")"
}
password_case viewer 600 3 'the broker refused the login'
# One that others can read is refused before anything is sent.
password_case admin 644 2 'can be read by others (mode 0644)'

# The broker goes away in the middle of a wake and comes back: the wake finishes, the
# events wait in order, and the requester gets its outcome.
# An observer with a session the broker keeps; mosquitto_sub logs in again on its own.
broker_watch observer viewer "$work/events" -c -x 600 -q 1 -t corvalen/lab-1/event
# Another machine at the same place, which the sensor has not woken in the last 10 s.
ip -n "${hosts[1]}" link set eth0 address 02:c4:0b:00:00:d3
BOOT_DELAY_MS=4000 sleep_target
ip netns exec "$requester" "$cli" --mqtt "$url" --mqtt-user admin --mqtt-password-file "$broker_dir/admin.password" \
    --mqtt-ca "$ca" --wake 02:c4:0b:00:00:d3 --ip 10.93.0.2 --via lab-1 --wake-timeout 60 \
    > "$work/out" 2> "$work/err" &
requester_pid=$!
pids+=("$requester_pid")
wait_for 30 grep -q '^Sent a magic packet .* (3 of 3)' "$work/out"
broker_stop
wait_for 30 grep -qx booted "$work/target"
wait_for 60 grep -q '"event":"woke"' "$work/sensor.out"
grep -q '"event":"sent"' "$work/events" || fail "events before the stop: $(cat "$work/events")"
! grep -q '"event":"woke"' "$work/events" || fail "an event while the broker was away: $(cat "$work/events")"
broker_start "${hosts[2]}"
status=0
wait "$requester_pid" || status=$?
expect_status 0
grep -q 'the MQTT broker went away' "$work/err" || fail "the requester's loss: $(cat "$work/err")"
grep -q '^woke through lab-1 on eth0' "$work/out" || fail "woke across the restart: $(cat "$work/out" "$work/err")"
# The outcome the sensor saw meanwhile reaches the observer after the restart.
wait_for 60 grep -q '"event":"woke"' "$work/events"
grep -q 'the MQTT broker is away' "$work/sensor.err" || fail "the sensor's loss: $(cat "$work/sensor.err")"
[ "$(count 'connected to the MQTT broker as sensor lab-1' "$work/sensor.err")" -ge 2 ] \
    || fail "the sensor did not connect again: $(cat "$work/sensor.err")"
# The broker published the sensor's will as it stopped; the sensor says "online" again.
status_is() {
    broker_sub viewer -t corvalen/lab-1/status -C 1 -W 5 > "$work/status" 2> /dev/null
    [ "$(cat "$work/status")" = "$1" ]
}
wait_for 30 status_is online
stop_target

# A clean exit leaves "offline"; so does a sensor that dies, through its last will.
kill -TERM "$sensor_pid"
wait "$sensor_pid" || true
wait_for 30 status_is offline
echo "PASS"

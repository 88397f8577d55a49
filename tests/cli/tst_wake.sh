#!/usr/bin/env bash
# corvalen-cli --wake on a real segment: a bridge with two hosts, each a network
# namespace of its own. The target runs a responder that plays a sleeping machine:
# it answers nothing until a magic packet for its MAC arrives, in any form, and then
# boots and announces itself. corvalen-cli on the other host sends, and says whether
# the target woke.
# Usage: tst_wake.sh CORVALEN_CLI WAKERESPONDER
set -euo pipefail
source "$(dirname "$0")/../common/shelltest.sh"
require_root
cli=$1
responder=$2
target_mac=02:c4:0a:00:00:d1

work=$(mktemp -d)
segment=cwseg$$
hosts=(cwsend$$ cwtarget$$ cwrouter$$ cwfar$$)
cleanup() {
    stop_started
    segment_down "$segment" "${hosts[@]}"
    rm -rf "$work"
}
trap cleanup EXIT

segment_up "$segment" 10.85.0 "${hosts[@]:0:3}"
ip -n "${hosts[1]}" link set eth0 address "$target_mac"
ip -n "${hosts[2]}" addr flush dev eth0
ip -n "${hosts[2]}" addr add 10.85.0.254/24 dev eth0
# Behind the router, a subnet of its own with the far target on it.
far_mac=02:c4:0a:00:00:f1
ip netns add "${hosts[3]}"
ip -n "${hosts[3]}" link set lo up
ip link add eth1 netns "${hosts[2]}" type veth peer name eth0 netns "${hosts[3]}"
ip -n "${hosts[3]}" link set eth0 address "$far_mac"
ip netns exec "${hosts[3]}" sysctl -q net.ipv6.conf.all.disable_ipv6=1
ip -n "${hosts[2]}" addr add 10.87.1.254/24 dev eth1
ip -n "${hosts[3]}" addr add 10.87.1.2/24 dev eth0
for host in "${hosts[@]}"; do ip -n "$host" link set eth0 up; done
ip -n "${hosts[2]}" link set eth1 up
ip -n "${hosts[0]}" route add default via 10.85.0.254
ip -n "${hosts[3]}" route add default via 10.87.1.254
# The router forwards, directed broadcasts to its other subnet among them.
# (bc_forwarding counts where the packet comes in.)
ip netns exec "${hosts[2]}" sysctl -q net.ipv4.ip_forward=1 net.ipv4.conf.all.bc_forwarding=1 \
    net.ipv4.conf.eth0.bc_forwarding=1
sender_mac=$(ip -n "${hosts[0]}" -br link show eth0 | awk '{print $3}')

# sleep [RESPONDER OPTIONS]: the target, asleep until a magic packet for it comes;
# TARGET_HOST names another one.
sleep_target() {
    rm -f "$work/target"
    ip netns exec "${TARGET_HOST:-${hosts[1]}}" "$responder" eth0 1500 "$@" > "$work/target" &
    pids+=($!)
    wait_for 30 grep -qx asleep "$work/target"
}
# wake [OPTIONS]: corvalen-cli --wake from the sender; its exit status in $status.
wake() {
    status=0
    ip netns exec "${hosts[0]}" "$cli" --json "$@" > "$work/out" 2> "$work/err" || status=$?
}
# wake_unprivileged [OPTIONS]: the same as nobody, without any capability.
wake_unprivileged() {
    status=0
    ip netns exec "${hosts[0]}" setpriv --reuid=65534 --regid=65534 --clear-groups --inh-caps=-all \
        --bounding-set=-all "$cli" --json "$@" > "$work/out" 2> "$work/err" || status=$?
}
expect_status() {
    [ "$status" -eq "$1" ] || fail "exit status $status, not $1: $(cat "$work/err" "$work/out")"
}
count() { grep -c "$1" "$2" || true; }
lines() { grep -cx "$1" "$2" || true; }

# It wakes: every form reached it, three times each, and the announcement is the evidence.
sleep_target
wake --wake "$target_mac" --wake-timeout 30
expect_status 0
[ "$(count '"event":"sent"' "$work/out")" -eq 9 ] || fail "sent: $(cat "$work/out")"
grep -q '"event":"woke".*"evidence":"arp"' "$work/out" || fail "woke: $(cat "$work/out")"
grep -q '"address":"10.85.0.2"' "$work/out" || fail "the address it announced: $(cat "$work/out")"
[ "$(lines ethernet "$work/target")" -eq 3 ] || fail "Ethernet frames that arrived: $(cat "$work/target")"
[ "$(lines 'udp 10.85.0.255 9' "$work/target")" -eq 3 ] || fail "subnet broadcasts: $(cat "$work/target")"
[ "$(lines 'udp 255.255.255.255 9' "$work/target")" -eq 3 ] || fail "broadcasts: $(cat "$work/target")"
# Its own packets, back at its raw socket, are no magic packets of the segment.
! grep -q '"event":"magic"' "$work/out" || fail "its own packets reported: $(cat "$work/out")"
stop_started
pids=()

# It wakes and stays silent: only asked, by ARP, does it answer.
sleep_target --silent
wake --wake "$target_mac" --ip 10.85.0.2 --wake-timeout 30
expect_status 0
grep -q '"event":"woke".*"evidence":"arp"' "$work/out" || fail "woke, silent: $(cat "$work/out")"
grep -q 'asking for 10.85.0.2 by ARP on eth0 every 2 s' "$work/err" || fail "asking: $(cat "$work/err")"
stop_started
pids=()
# Without --ip, and with no address for it in the neighbour table, it is not asked,
# and nothing tells that it woke.
ip -n "${hosts[0]}" neigh flush all
sleep_target --silent
wake --wake "$target_mac" --wake-timeout 4
expect_status 1
stop_started
pids=()
# The address the neighbour table still holds for it, gone stale as it slept, is asked.
ip -n "${hosts[0]}" neigh replace 10.85.0.2 lladdr "$target_mac" dev eth0 nud stale
sleep_target --silent
wake --wake "$target_mac" --wake-timeout 30
expect_status 0
grep -q 'the neighbour table holds 10.85.0.2 for 02-C4-0A-00-00-D1' "$work/err" || fail "known: $(cat "$work/err")"
grep -q '"event":"woke".*"evidence":"arp"' "$work/out" || fail "woke, known address: $(cat "$work/out")"
ip -n "${hosts[0]}" neigh flush all
stop_started
pids=()

# It stays asleep: exit 1, naming what was sent and what remains.
sleep_target --never
wake --wake "$target_mac" --wake-timeout 3 --port 7
expect_status 1
grep -q '"event":"no_sign_of_life".*"problems":\["this machine sent 9 magic packets for 02-C4-0A-00-00-D1 (an Ethernet frame of type 0x0842 on eth0, UDP to 10.85.0.255 port 7 on eth0, UDP to 255.255.255.255 port 7 on eth0, each 3 times)' \
    "$work/out" || fail "no sign of life: $(cat "$work/out")"
grep -q 'corvalen-cli --check on it' "$work/out" || fail "the causes that remain: $(cat "$work/out")"
[ "$(lines 'udp 10.85.0.255 7' "$work/target")" -eq 3 ] || fail "--port: $(cat "$work/target")"
stop_started
pids=()

# Behind a router: its subnet's broadcast address with --to, proved by ICMP echo, since
# no frame of the target's own reaches the sender's segment.
TARGET_HOST=${hosts[3]} sleep_target --silent
wake --wake "$far_mac" --to 10.87.1.255 --ip 10.87.1.2 --wake-timeout 30
expect_status 0
grep -q 'asking for 10.87.1.2 by ICMP echo every 2 s' "$work/err" || fail "asking: $(cat "$work/err")"
grep -q '"event":"woke".*"evidence":"icmp"' "$work/out" || fail "woke behind the router: $(cat "$work/out")"
[ "$(lines 'udp 10.87.1.255 9' "$work/target")" -eq 3 ] || fail "the routed broadcasts: $(cat "$work/target")"
stop_started
pids=()

# Without the capability: the UDP forms alone, and the answer to ICMP echo through the
# unprivileged ping socket, which this namespace allows to every group.
ip netns exec "${hosts[0]}" sysctl -q net.ipv4.ping_group_range="0 2147483647"
sleep_target --silent
wake_unprivileged --wake "$target_mac" --ip 10.85.0.2 --wake-timeout 30
expect_status 0
grep -q 'the Ethernet frame and the watch for signs of life need the CAP_NET_RAW capability' "$work/err" \
    || fail "what needs the capability: $(cat "$work/err")"
grep -q '"event":"woke".*"evidence":"icmp"' "$work/out" || fail "woke, unprivileged: $(cat "$work/out" "$work/err")"
[ "$(lines ethernet "$work/target")" -eq 0 ] || fail "an Ethernet frame without the capability: $(cat "$work/target")"
[ "$(lines 'udp 10.85.0.255 9' "$work/target")" -eq 3 ] || fail "UDP, unprivileged: $(cat "$work/target")"
stop_started
pids=()
# Asleep, and nothing but ICMP echo could tell: the outcome says so.
sleep_target --never
wake_unprivileged --wake "$target_mac" --ip 10.85.0.2 --wake-timeout 4
expect_status 1
grep -q '"event":"no_sign_of_life".*it did not answer ICMP echo at 10.85.0.2' "$work/out" \
    || fail "asleep, unprivileged: $(cat "$work/out" "$work/err")"
stop_started
pids=()

# Refusals: nothing is sent, and the exit status is 2.
for refused in "ff:ff:ff:ff:ff:ff|is the broadcast address, which no network card has" \
               "$sender_mac|is this machine's own MAC address" \
               "$target_mac --interface eth9|this machine has no interface named eth9"; do
    words=${refused%%|*}
    # shellcheck disable=SC2086 # the words of the case
    wake --wake $words
    expect_status 2
    grep -q "${refused#*|}" "$work/err" || fail "refusal of $words: $(cat "$work/err")"
    ! grep -q '"event":"sent"' "$work/out" || fail "sent despite the refusal of $words"
done
echo "PASS"

#!/usr/bin/env bash
# A real segment: a bridge with three hosts, each a network namespace of its own.
# The sender broadcasts magic packets, the target sleeps (its link is down) and
# wakes (its link comes up and it asks for an address with ARP), and corvalen-cli
# watches from the neighbour, which is neither of them.
# Usage: tst_segment.sh CORVALEN_CLI
set -euo pipefail
source "$(dirname "$0")/../common/shelltest.sh"
require_root
cli=$1
target_mac=02:c1:1e:00:00:d1
silent_mac=02:c1:1e:00:00:d2

work=$(mktemp -d)
segment=cvseg$$
hosts=(cvsend$$ cvtarget$$ cvneigh$$)
cleanup() {
    stop_started
    segment_down "$segment" "${hosts[@]}"
    rm -rf "$work"
}
trap cleanup EXIT

segment_up "$segment" 10.82.0 "${hosts[@]}"
ip -n "${hosts[1]}" link set eth0 address "$target_mac"
ip -n "${hosts[0]}" link set eth0 up
ip -n "${hosts[2]}" link set eth0 up
sender() { ip netns exec "${hosts[0]}" "$@"; }

# watch MAC WAKE_TIMEOUT: corvalen-cli on the neighbour, until that machine woke or not.
# The files go first: the new process's redirection may come after the wait starts.
watch() {
    rm -f "$work/out" "$work/err"
    ip netns exec "${hosts[2]}" "$cli" --json --mac "$1" --until-woke --wake-timeout "$2" --timeout 60 \
        > "$work/out" 2> "$work/err" &
    pids+=($!)
    wait_for 30 grep -q 'listening for magic packets' "$work/err"
}
finished() {
    local status=0
    wait "${pids[-1]}" || status=$?
    [ "$status" -eq "$1" ] || fail "exit status $status, not $1: $(cat "$work/err" "$work/out")"
}
event() { grep -c "\"event\":\"$1\".*\"mac\":\"$2\"\\|\"mac\":\"$2\".*\"event\":\"$1\"" "$work/out" || true; }

# The target wakes on the magic packet: its first frame is the ARP request for
# the sender's address, before a datagram to it.
watch "$target_mac" 30
sender wakeonlan -i 10.82.0.255 "$target_mac" > /dev/null
wait_for 30 test -s "$work/out"
ip -n "${hosts[1]}" link set eth0 up
ip netns exec "${hosts[1]}" bash -c 'echo awake > /dev/udp/10.82.0.1/7' 
finished 0
[ "$(event magic 02-C1-1E-00-00-D1)" -eq 1 ] || fail "magic: $(cat "$work/out")"
grep -q '"event":"woke".*"evidence":"arp"' "$work/out" || fail "woke: $(cat "$work/out")"
grep -q '"address":"10.82.0.2"' "$work/out" || fail "the address it announced: $(cat "$work/out")"

# A machine that is not there: two magic packets, one watch, no sign of life.
watch "$silent_mac" 2
sender wakeonlan -i 10.82.0.255 "$silent_mac" > /dev/null
sender wakeonlan -i 10.82.0.255 "$silent_mac" > /dev/null
finished 1
[ "$(event magic 02-C1-1E-00-00-D2)" -eq 2 ] || fail "magic: $(cat "$work/out")"
grep -q '"event":"no_sign_of_life".*"packets":2' "$work/out" || fail "no sign of life: $(cat "$work/out")"
# The target sleeps again; the sender still holds its MAC and sends the magic
# packet to its unicast address. The bridge no longer knows where that MAC is and
# floods the frame, and the sender's ARP probes for the address go unanswered.
ip -n "${hosts[1]}" link set eth0 down
forgotten() { ! ip netns exec "$segment" bridge fdb show br br0 | grep -qi "^$target_mac "; }
wait_for 30 forgotten
ip netns exec "${hosts[0]}" sysctl -q net.ipv4.neigh.eth0.delay_first_probe_time=1
ip -n "${hosts[0]}" neigh replace 10.82.0.2 lladdr "$target_mac" dev eth0 nud stale
rm -f "$work/out" "$work/err"
ip netns exec "${hosts[2]}" "$cli" --json --mac "$target_mac" --wake-timeout 30 > "$work/out" 2> "$work/err" &
pids+=($!)
wait_for 30 grep -q 'listening for magic packets' "$work/err"
sender wakeonlan -i 10.82.0.2 "$target_mac" > /dev/null
wait_for 30 grep -q '"event":"unanswered_arp"' "$work/out"
kill -INT "${pids[-1]}"
finished 0
grep -q '"event":"magic".*"problems":\["sent to the unicast address 10.82.0.2 of another machine.*10.82.0.255' \
    "$work/out" || fail "the unicast problem: $(cat "$work/out")"
grep -q '"address":"10.82.0.2","asker":"10.82.0.1".*"event":"unanswered_arp"' "$work/out" \
    || fail "unanswered ARP: $(cat "$work/out")"
echo "PASS"

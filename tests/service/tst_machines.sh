#!/usr/bin/env bash
# Awake or asleep, from the wire: a sensor keeps track of the machines on its segment
# (a bridge of namespaces) and publishes their states to Debian's mosquitto, with TLS,
# passwords and an ACL, as Home Assistant finds them by its MQTT discovery.
# - quiet never speaks, but the sensor's neighbour table knows it: asked by ARP at the
#   start, it answers, and stays awake while it answers;
# - chatty announces itself, then falls asleep (answers nothing): asleep once asked twice;
# - mover speaks, then drops its address to another host: that host's answer is not
#   the mover's, which is asleep;
# - desk sleeps from the start, unknown: asleep by silence alone, and woken by its
#   Home Assistant button, pressed as Home Assistant publishes it.
# The discovery configs are checked against Home Assistant's documented schema, the
# metrics scraped over HTTP, and a machine dropped from the command line has its
# configs removed.
# Usage: tst_machines.sh CORVALEN_CLI WAKERESPONDER
set -euo pipefail
here=$(dirname "$0")
source "$here/../common/shelltest.sh"
source "$here/mosquittobroker.sh"
require_root
cli=$1
responder=$2
checker=(/usr/bin/python3 "$here/hadiscovery.py")
asleep_after=3

work=$(mktemp -d)
segment=cmseg$$
hosts=(cmsensor$$ cmchatty$$ cmquiet$$ cmmover$$ cmdesk$$ cmtaker$$ cmbroker$$)
sensor=${hosts[0]}
names=(sensor chatty quiet mover desk taker broker)
declare -A mac id ns
for n in 1 2 3 4 5 6 7; do
    name=${names[$((n - 1))]}
    mac[$name]=02:c4:0b:00:01:0$n
    id[$name]=02-C4-0B-00-01-0$n
    ns[$name]=${hosts[$((n - 1))]}
done
# Home Assistant's object IDs: the MAC's twelve digits.
object() { echo "02c40b00010$1"; }
cleanup() {
    stop_started
    segment_down "$segment" "${hosts[@]}"
    [ -n "${KEEP_TEST_FILES:-}" ] || rm -rf "$work"
}
trap cleanup EXIT

# The segment: sensor 10.97.0.1, chatty .2, quiet .3, mover .4, desk .5, taker .6, broker .7.
segment_up "$segment" 10.97.0 "${hosts[@]}"
for name in "${names[@]}"; do
    ip -n "${ns[$name]}" link set eth0 address "${mac[$name]}"
    ip -n "${ns[$name]}" link set eth0 up
done
broker_setup "$work/broker" 10.97.0.7
broker_start "${ns[broker]}"
url=mqtts://10.97.0.7
ca=$broker_dir/ca.crt

# The sensor has spoken to quiet, as a machine does: the neighbour table holds its address.
ip netns exec "$sensor" bash -c 'echo hello > /dev/udp/10.97.0.3/9' || fail "the segment does not carry"
neighbour_known() { ip -n "$sensor" neigh show 10.97.0.3 | grep -q "${mac[quiet]}"; }
wait_for 30 neighbour_known

# desk is asleep from the start: it answers nothing until its magic packet comes.
ip netns exec "${ns[desk]}" "$responder" eth0 300 > "$work/desk" &
pids+=($!)
wait_for 30 grep -qx asleep "$work/desk"

# The terminal alone: a machine whose address is known is asked at once, and its
# state is known within seconds, long before the silence the default would wait for.
ip netns exec "$sensor" "$cli" --machine "${id[quiet]}=quiet" --interface eth0 --timeout 60 \
    > "$work/terminal" 2> "$work/terminal.err" &
terminal_pid=$!
pids+=("$terminal_pid")
wait_for 15 grep -q "Awake: quiet (${id[quiet]}) answered ARP for 10.97.0.3 on eth0" "$work/terminal"
kill "$terminal_pid"
wait "$terminal_pid" || true

# sensor_start MACHINE...: the sensor on the broker, keeping track of these machines.
sensor_start() {
    local machines=() name
    for name in "$@"; do machines+=(--machine "${mac[$name]}=$name"); done
    : > "$work/sensor.out"
    : > "$work/sensor.err"
    ip netns exec "$sensor" "$cli" "${machines[@]}" --asleep-after "$asleep_after" --interface eth0 --json \
        --metrics 127.0.0.1:19119 --mqtt "$url" --mqtt-user lab-1 --mqtt-password-file "$broker_dir/lab-1.password" \
        --mqtt-ca "$ca" --name lab-1 > "$work/sensor.out" 2> "$work/sensor.err" &
    sensor_pid=$!
    pids+=("$sensor_pid")
    wait_for 60 grep -q 'connected to the MQTT broker as sensor lab-1' "$work/sensor.err"
}
# event NAME STATE: the sensor's JSON events of that machine's change, after line $from of its output.
from=0
event() {
    tail -n "+$((from + 1))" "$work/sensor.out" \
        | jq -c --arg mac "${id[$1]}" --arg state "$2" 'select(.event == $state and .mac == $mac)'
}
has_event() { [ -n "$(event "$1" "$2")" ]; }
retained() { broker_sub homeassistant -t "$1" --retained-only -C 1 -W 3 2> /dev/null || true; }
retained_is() { [ "$(retained "$1")" = "$2" ]; }

sensor_start chatty quiet mover desk
# quiet: asked at the start, it answers.
wait_for 15 has_event quiet awake
[ "$(event quiet awake | jq -r '.answered_arp, .evidence, .address')" = "$(printf 'true\narp\n10.97.0.3')" ] \
    || fail "quiet: $(event quiet awake)"
# desk: nothing of it is known; silence alone decides, and says it could not be asked.
wait_for 30 has_event desk asleep
[ "$(event desk asleep | jq -r '.evidence, .asked, .address')" = "$(printf 'silence\nfalse\nnull')" ] \
    || fail "desk: $(event desk asleep)"

# chatty and mover announce themselves, after the silence since the start made them asleep.
for name in chatty mover; do wait_for 30 has_event "$name" asleep; done
from=$(wc -l < "$work/sensor.out")
for name in chatty mover; do
    ip netns exec "${ns[$name]}" bash -c 'echo hello > /dev/udp/10.97.0.1/9'
    wait_for 15 has_event "$name" awake
done
[ "$(event chatty awake | jq -r '.address')" = 10.97.0.2 ] || fail "chatty: $(event chatty awake)"
# chatty falls asleep: it answers nothing from now on.
ip netns exec "${ns[chatty]}" sysctl -q net.ipv4.conf.all.arp_ignore=8
# mover drops its address, which taker takes: taker answers for it, and that is not mover.
ip -n "${ns[mover]}" addr flush dev eth0
ip -n "${ns[taker]}" addr add 10.97.0.4/24 dev eth0
for name in chatty mover; do
    wait_for 30 has_event "$name" asleep
    asleep=$(event "$name" asleep)
    [ "$(jq -r '.evidence, .asked' <<< "$asleep")" = "$(printf 'no_arp_answer\ntrue')" ] || fail "$name: $asleep"
    # Its silence lasted --asleep-after at least, and ARP was asked twice, a second apart, after it.
    jq -e --argjson after "$asleep_after" '.silent_seconds >= $after + 1.5' <<< "$asleep" > /dev/null \
        || fail "$name asleep too early: $asleep"
done
[ "$(event mover asleep | jq -r .address)" = 10.97.0.4 ] || fail "mover: $(event mover asleep)"
[ -z "$(event mover awake | sed 1d)" ] || fail "taker's answer taken for mover's: $(event mover awake)"
# quiet, silent all along but answering, was never held asleep.
has_event quiet asleep && fail "quiet held asleep: $(event quiet asleep)"

# The states, retained for Home Assistant.
for pair in quiet:ON chatty:OFF mover:OFF desk:OFF; do
    wait_for 15 retained_is "corvalen/lab-1/machine/${id[${pair%%:*}]}/awake" "${pair#*:}"
done

# The discovery configs, as Home Assistant reads them, against its documented schema.
broker_sub homeassistant -t 'homeassistant/#' --retained-only -W 3 -F '%t\t%p' > "$work/configs" 2> /dev/null || true
expected=()
for n in 2 3 4 5; do
    expected+=(--expect "homeassistant/button/corvalen-lab-1/$(object "$n")_wake/config"
        --expect "homeassistant/binary_sensor/corvalen-lab-1/$(object "$n")_awake/config"
        --expect "homeassistant/sensor/corvalen-lab-1/$(object "$n")_last_wake/config")
done
"${checker[@]}" "${expected[@]}" "$work/configs" > "$work/check" || fail "discovery: $(cat "$work/check")"
config() { grep -P "^homeassistant/$1/corvalen-lab-1/$(object "$2")_$3/config\t" "$work/configs" | cut -f2-; }
button=$(config button 5 wake)
[ "$(jq -r '.availability_topic, .device.name, .device.connections[0][1]' <<< "$button")" \
    = "$(printf 'corvalen/lab-1/status\ndesk\n%s' "${mac[desk]}")" ] || fail "desk's button: $button"
[ "$(config binary_sensor 5 awake | jq -r '.state_topic, .device_class')" \
    = "$(printf 'corvalen/lab-1/machine/%s/awake\npower' "${id[desk]}")" ] || fail "desk's binary sensor"

# The button pressed, as Home Assistant publishes it: the config's payload to its command topic.
broker_pub homeassistant -q 0 -t "$(jq -r .command_topic <<< "$button")" -m "$(jq -r .payload_press <<< "$button")"
wait_for 30 grep -qx booted "$work/desk"
wait_for 30 has_event desk awake
wait_for 30 grep -q "\"event\":\"woke\".*\"mac\":\"${id[desk]}\"" "$work/sensor.out"
wait_for 15 retained_is "corvalen/lab-1/machine/${id[desk]}/awake" ON
last_wake=$(retained "corvalen/lab-1/machine/${id[desk]}/last_wake")
awk -v s="$last_wake" 'BEGIN { exit !(s + 0 > 0.2 && s + 0 < 30) }' || fail "desk's last wake: '$last_wake'"

# The metrics, scraped over HTTP, and sound as Prometheus's own lint sees them.
ip netns exec "$sensor" curl -sf http://127.0.0.1:19119/metrics > "$work/metrics" || fail "no metrics"
promtool check metrics < "$work/metrics" > "$work/lint" 2>&1 || fail "metrics lint: $(cat "$work/lint")"
metric() { # NAME MACHINE [OUTCOME]: the value
    grep -E "^$1\{mac=\"${id[$2]}\",machine=\"$2\"${3:+,outcome=\"$3\"}\} " "$work/metrics" | awk '{print $2}'
}
for pair in quiet:1 chatty:0 mover:0 desk:1; do
    [ "$(metric corvalen_machine_awake "${pair%%:*}")" = "${pair#*:}" ] || fail "awake of $pair: $(grep awake "$work/metrics")"
done
[ "$(metric corvalen_machine_wakes_total desk woke)" = 1 ] || fail "desk's wakes: $(grep wakes_total "$work/metrics")"
[ "$(metric corvalen_machine_wake_duration_seconds_count desk)" = 1 ] || fail "desk's wake duration"
# quiet was asked again after each silence, and answered: it was heard from lately.
seen=$(metric corvalen_machine_last_seen_timestamp_seconds quiet)
awk -v seen="$seen" -v now="$(date +%s)" -v after="$asleep_after" 'BEGIN { exit !(now - seen < after + 10) }' \
    || fail "quiet last seen at $seen"

# mover dropped from the command line: its configs and states are removed, as Home Assistant expects.
kill "$sensor_pid"
wait "$sensor_pid" || true
broker_watch ha-watch homeassistant "$work/removals" -t 'homeassistant/#' -t 'corvalen/lab-1/machine/+/+' -F '%t\t%p'
sensor_start chatty quiet desk
removed=(homeassistant/button/corvalen-lab-1/$(object 4)_wake/config
    homeassistant/binary_sensor/corvalen-lab-1/$(object 4)_awake/config
    homeassistant/sensor/corvalen-lab-1/$(object 4)_last_wake/config)
all_removed() { [ "$(grep -cP '^homeassistant/.*/'"$(object 4)"'_[a-z_]+/config\t$' "$work/removals")" -ge 3 ]; }
wait_for 30 all_removed
"${checker[@]}" "${removed[@]/#/--expect-removed=}" "$work/removals" > "$work/check" \
    || fail "removals: $(cat "$work/check")"
wait_for 15 grep -qP "^corvalen/lab-1/machine/${id[mover]}/awake\t$" "$work/removals"
grep -q "removed the Home Assistant configs of ${id[mover]}" "$work/sensor.err" || fail "$(cat "$work/sensor.err")"
echo PASS

#!/usr/bin/env bash
# A Prometheus server scrapes two corvalen-cli, each on a segment of its own (a
# network namespace), with the shipped alert rules loaded: the counts it gathers
# per instance, a sweep and a machine that did not wake, as Prometheus sees them.
# Usage: tst_prometheus.sh CORVALEN_CLI RULES_FILE
set -euo pipefail
source "$(dirname "$0")/../common/shelltest.sh"
require_root
cli=$1
rules=$2
named=02-C1-1E-00-00-A1
namedColons=02:c1:1e:00:00:a1

work=$(mktemp -d)
monitor=cvmon$$
segments=(cvsega$$ cvsegb$$)
cleanup() {
    stop_started
    segment_down "$monitor" "${segments[@]}"
    rm -rf "$work"
}
trap cleanup EXIT

# The monitor's namespace reaches each segment through a veth pair: 10.81.N.1 to 10.81.N.2.
ip netns add "$monitor"
ip -n "$monitor" link set lo up
for n in 1 2; do
    ns=${segments[n - 1]}
    ip netns add "$ns"
    ip -n "$ns" link set lo up
    ip link add "cvm$$x$n" netns "$monitor" type veth peer name "cvs$$x$n" netns "$ns"
    ip -n "$monitor" addr add "10.81.$n.1/24" dev "cvm$$x$n"
    ip -n "$ns" addr add "10.81.$n.2/24" dev "cvs$$x$n"
    ip -n "$monitor" link set "cvm$$x$n" up
    ip -n "$ns" link set "cvs$$x$n" up
done

ip netns exec "${segments[0]}" "$cli" --metrics 19009 --mac "$named" --wake-timeout 1 \
    > "$work/a.out" 2> "$work/a.err" &
pids+=($!)
ip netns exec "${segments[1]}" "$cli" --metrics 19009 > "$work/b.out" 2> "$work/b.err" &
pids+=($!)

cat > "$work/prometheus.yml" <<YAML
global:
  scrape_interval: 1s
  evaluation_interval: 1s
rule_files:
  - $rules
scrape_configs:
  - job_name: corvalen
    static_configs:
      - targets: ['10.81.1.2:19009', '10.81.2.2:19009']
YAML
promtool check config "$work/prometheus.yml" > /dev/null
ip netns exec "$monitor" prometheus --config.file="$work/prometheus.yml" --storage.tsdb.path="$work/data" \
    --web.listen-address=127.0.0.1:9090 > "$work/prometheus.log" 2>&1 &
pids+=($!)

in_monitor() { ip netns exec "$monitor" "$@"; }
query() { in_monitor curl -sfG http://127.0.0.1:9090/api/v1/query --data-urlencode "query=$1"; }
# The query's result as "instance=value" lines, sorted.
values() {
    query "$1" | grep -o '"instance":"[^"]*"[^}]*},"value":\[[^,]*,"[^"]*"' \
        | sed 's/"instance":"\([^"]*\)".*,"\([^"]*\)"$/\1=\2/' | sort
}
both_up() { [ "$(values 'up{job="corvalen"}')" = $'10.81.1.2:19009=1\n10.81.2.2:19009=1' ]; }
wait_for 60 both_up

# Segment A: two magic packets for the named machine, which does not exist and so
# stays silent. Segment B: one sender wakes twelve machines at once, a sweep.
for _ in 1 2; do in_monitor wakeonlan -i 10.81.1.2 "$namedColons" > /dev/null; done
for i in $(seq 10 21); do in_monitor wakeonlan -i 10.81.2.2 "02:c1:1e:00:01:$i" > /dev/null; done

counts() { [ "$(values 'sum by (instance) (corvalen_magic_packets_total)')" = $'10.81.1.2:19009=2\n10.81.2.2:19009=12' ]; }
wait_for 60 counts
firing() { in_monitor curl -sf http://127.0.0.1:9090/api/v1/alerts | grep -o "\"alertname\":\"$1\"[^}]*" | grep -q "$2"; }
wait_for 60 firing CorvalenMachineDidNotWake "\"mac\":\"$named\""
wait_for 60 firing CorvalenSweep '"instance":"10.81.2.2:19009"'
[ "$(values 'corvalen_target_magic_packets_total')" = "10.81.1.2:19009=2" ] \
    || fail "per-machine series: $(values 'corvalen_target_magic_packets_total')"
# Twelve target MACs, no series of their own: the label sets stay bounded.
series=$(values 'count by (instance) ({__name__=~"corvalen_.*"})')
[ "$series" = $'10.81.1.2:19009=14\n10.81.2.2:19009=10' ] || fail "series per instance: $series"
! firing CorvalenKernelDrops . || fail "drops reported where there were none"

# What Prometheus's own checker says of a scrape: nothing.
in_monitor curl -sf http://10.81.1.2:19009/metrics > "$work/scrape.txt"
promtool check metrics < "$work/scrape.txt" > "$work/check.txt" 2>&1 || fail "promtool: $(cat "$work/check.txt")"
[ ! -s "$work/check.txt" ] || fail "promtool: $(cat "$work/check.txt")"
in_monitor curl -sf http://10.81.2.2:19009/ | grep -q '<a href="/metrics">' || fail "no landing page"
echo "PASS"

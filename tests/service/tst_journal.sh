#!/usr/bin/env bash
# corvalen-cli's events in a real systemd-journald, started in mount and network
# namespaces of this test's own: the entry and its fields as journalctl finds it,
# the catalog's explanation, standard output recognised as the journal, the same
# entry at a systemd-journal-remote through systemd-journal-upload, and standard
# output when there is no journal.
# Usage: tst_journal.sh CORVALEN_CLI CATALOG
set -euo pipefail
source "$(dirname "$0")/../common/shelltest.sh"
require_root
if [ -z "${CORVALEN_IN_NAMESPACE:-}" ]; then
    exec env CORVALEN_IN_NAMESPACE=1 unshare --mount --net --propagation private bash "$(realpath "$0")" "$@"
fi
cli=$1
catalog=$2
mac=02:c1:1e:00:00:b7
shown=02-C1-1E-00-00-B7

ip link set lo up
# A /run, a journal and a catalog database of the test's own; the catalogs as
# installed, with this program's beside them.
mount -t tmpfs tmpfs /run
mount -t tmpfs tmpfs /var/log/journal 2> /dev/null || true
mkdir -p /run/catalog /run/catalog-db /run/work
cp /usr/lib/systemd/catalog/*.catalog /run/catalog/ 2> /dev/null || true
cp "$catalog" /run/catalog/
mount --bind /run/catalog /usr/lib/systemd/catalog
mkdir -p /var/lib/systemd/catalog
mount --bind /run/catalog-db /var/lib/systemd/catalog
work=/run/work
cleanup() {
    stop_started
}
trap cleanup EXIT

send() { wakeonlan -i 127.0.0.1 "$mac" > /dev/null; }
started() { grep -q 'listening for magic packets' "$1"; }

# No journald: the events go to standard output, and standard error says why, once.
"$cli" --journal --json --count 2 --timeout 60 > "$work/none.out" 2> "$work/none.err" &
pid=$!
pids+=("$pid")
wait_for 30 started "$work/none.err"
send
send
wait "$pid" || fail "exit status $? without a journal"
[ "$(grep -c '"event":"magic"' "$work/none.out")" -eq 2 ] || fail "events lost without a journal"
[ "$(grep -c 'cannot write to the journal' "$work/none.err")" -eq 1 ] || fail "$(cat "$work/none.err")"

/lib/systemd/systemd-journald > "$work/journald.log" 2>&1 &
pids+=($!)
wait_for 30 test -S /run/systemd/journal/socket
journalctl --update-catalog

# Standard output and error are streams to the journal, as the service manager
# sets them up, and JOURNAL_STREAM says so: the events go to the journal with
# their fields, the lines about the watch as they are.
systemd-cat --identifier=corvalen-stdout sh -c \
    'JOURNAL_STREAM=$(stat -L -c %d:%i /proc/$$/fd/1) exec "$0" --mac "$1" --wake-timeout 1 --until-woke' \
    "$cli" "$mac" &
pid=$!
pids+=("$pid")
stream() { journalctl -o cat --no-pager SYSLOG_IDENTIFIER=corvalen-stdout > "$work/stream.txt"; }
stream_started() { stream && started "$work/stream.txt"; }
wait_for 30 stream_started
send
status=0
wait "$pid" || status=$?
[ "$status" -eq 1 ] || fail "exit status $status for a machine that did not wake"

entry() { journalctl -o json --no-pager "WOL_MAC=$shown" "WOL_EVENT=$1"; }
has() { entry "$1" | grep -qF "\"$2\":$3" || fail "$1: no $2 $3 in $(entry "$1")"; }
entered() { [ -n "$(entry no_sign_of_life)" ]; }
wait_for 30 entered
has magic MESSAGE_ID '"b01cd2ebff99457aa1da62937a93c41c"'
has magic PRIORITY '"4"'
has magic SYSLOG_IDENTIFIER '"corvalen-cli"'
has magic WOL_SOURCE '"127.0.0.1"'
has magic WOL_DESTINATION '"127.0.0.1"'
has magic WOL_INTERFACE '"lo"'
has magic WOL_CARRIER '"udp"'
has magic WOL_PROBLEM '"no interface of this machine has this MAC address"'
has magic MESSAGE "\"Magic packet for $shown from 127.0.0.1 port"
has no_sign_of_life MESSAGE_ID '"08676032cf154852bedb8f68d25bf9da"'
has no_sign_of_life PRIORITY '"4"'
has no_sign_of_life MESSAGE "\"No sign of life from $shown within 1 s of the magic packet\""
stream
grep -q 'cannot write\|Magic Packet received' "$work/stream.txt" && fail "on the stream: $(cat "$work/stream.txt")"
journalctl -x --no-pager "WOL_MAC=$shown" WOL_EVENT=no_sign_of_life | grep -qF "Subject: No sign of life from $shown" \
    || fail "the catalog does not explain it: $(journalctl -x --no-pager "WOL_MAC=$shown")"

# The same entries at a central journal.
mkdir -p "$work/remote"
/lib/systemd/systemd-journal-remote --listen-http=127.0.0.1:19532 --output="$work/remote/" \
    > "$work/remote.log" 2>&1 &
pids+=($!)
remote_listening() { grep -q ':19532' /proc/net/tcp 2>/dev/null || ss -ltn | grep -q ':19532'; }
wait_for 30 remote_listening
/lib/systemd/systemd-journal-upload --url=http://127.0.0.1:19532 --save-state="$work/upload.state" \
    > "$work/upload.log" 2>&1 &
pids+=($!)
remote_entry() { journalctl --directory="$work/remote" -o json --no-pager "WOL_MAC=$shown" WOL_EVENT=no_sign_of_life; }
arrived() { [ -n "$(remote_entry 2>/dev/null)" ]; }
wait_for 60 arrived
remote_entry | grep -qF '"MESSAGE_ID":"08676032cf154852bedb8f68d25bf9da"' || fail "remote: $(remote_entry)"
echo "PASS"

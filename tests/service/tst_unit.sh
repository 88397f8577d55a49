#!/usr/bin/env bash
# The service's unit as systemd reads it: systemd-analyze verifies it, with the
# program where the unit names it, and rates its exposure at 2.0 or below.
# Usage: tst_unit.sh UNIT CORVALEN_CLI
set -euo pipefail
source "$(dirname "$0")/../common/shelltest.sh"
unit=$1
cli=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

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
echo "PASS"

# Sourced by the shell tests: waiting for a condition, and failing with a reason.

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# wait_for SECONDS COMMAND...: until the command succeeds, or fail after SECONDS.
wait_for() {
    local seconds=$1
    shift
    local deadline=$((SECONDS + seconds))
    until "$@"; do
        [ "$SECONDS" -lt "$deadline" ] || fail "gave up after ${seconds} s waiting for: $*"
        sleep 0.2
    done
}

require_root() {
    if [ "$(id -u)" -ne 0 ]; then
        [ -z "${CORVALEN_TESTS_RUN_AS_ROOT:-}" ] || fail "running as root was expected"
        echo "SKIP: needs root for network and mount namespaces"
        exit 77
    fi
}

# The processes a test started in the background, by their PIDs in the array
# `pids`: stopped, and waited for.
pids=()
stop_started() {
    local pid
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
}

# segment_up SEGMENT SUBNET HOST...: a bridge br0 in namespace SEGMENT, and each HOST a
# namespace whose eth0 is a port of it, with SUBNET.N/24 for the Nth host. IPv6's own
# frames would come when they will: the segment speaks IPv4 alone. The links stay down.
segment_up() {
    local segment=$1 subnet=$2 n=0 host
    shift 2
    ip netns add "$segment"
    ip -n "$segment" link add br0 type bridge
    ip -n "$segment" link set br0 up
    for host in "$@"; do
        n=$((n + 1))
        ip netns add "$host"
        ip -n "$host" link set lo up
        ip link add "${segment}p$n" netns "$segment" type veth peer name eth0 netns "$host"
        ip -n "$segment" link set "${segment}p$n" master br0 up
        ip netns exec "$host" sysctl -q net.ipv6.conf.all.disable_ipv6=1
        ip -n "$host" addr add "$subnet.$n/24" dev eth0
    done
}

# segment_down NAMESPACE...: the namespaces segment_up made, removed; any already gone is no matter.
segment_down() {
    local ns
    for ns in "$@"; do ip netns del "$ns" 2> /dev/null || true; done
}

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

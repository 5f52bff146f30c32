# shellcheck shell=bash
# What the example programs' scripts share, sourced by them: a work directory and the
# processes they started (in $pids), both gone at exit; failing with every log shown;
# bounded waits for a program to start serving and for a process to end; the files some
# processes hold open; whether the machine has the IPv6 loopback.
work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
    rm -rf "$work"
}
trap cleanup EXIT
fail() {
    echo "FAILED: $*"
    for log in "$work"/*.log; do echo "--- $log"; cat "$log"; done
    exit 1
}
# ends_within SECONDS PID: true once PID has ended, false when it still runs after SECONDS.
ends_within() {
    for _ in $(seq $(($1 * 10))); do
        kill -0 "$2" 2>/dev/null || return 0
        sleep 0.1
    done
    ! kill -0 "$2" 2>/dev/null
}
# starts_serving SECONDS PID LOG TEXT [COUNT]: true once LOG holds COUNT (1) lines with TEXT;
# fails the script when PID ends first, false when SECONDS pass.
starts_serving() {
    local count=${5:-1}
    for _ in $(seq $(($1 * 10))); do
        [ "$(grep -c "$4" "$3" 2>/dev/null)" -ge "$count" ] && return 0
        kill -0 "$2" 2>/dev/null || fail "$(basename "$3" .log): the program ended before serving"
        sleep 0.1
    done
    [ "$(grep -c "$4" "$3" 2>/dev/null)" -ge "$count" ]
}
# has_ipv6_loopback: true when ::1 is up (Linux).
has_ipv6_loopback() {
    grep -q "^0\{31\}1 " /proc/net/if_inet6 2>/dev/null
}
# open_fds PID...: the files those processes hold open, all told.
open_fds() {
    local total=0 pid
    for pid in "$@"; do total=$((total + $(find "/proc/$pid/fd" -mindepth 1 2>/dev/null | wc -l))); done
    echo "$total"
}

#!/usr/bin/env bash
# Counts the system calls and context switches an echo server makes per round trip under the
# load client, with perf's tracepoints (needs root and perf; run compare.sh once first so the
# programs are built).
#
#   bash bench/peers/syscalls.sh [--threads 2] [--duration 4] [--servers "runtime uv event asio"]
#                                [--scenarios "tcp-64x64 tcp-64x4k"]
set -euo pipefail
cd "$(dirname "$0")/../.."

threads=2
duration=4
servers="runtime uv event asio"
scenarios="tcp-64x64 tcp-64x4k"
while [ $# -gt 0 ]; do
    case "$1" in
        --threads) threads=$2 ;;
        --duration) duration=$2 ;;
        --servers) servers=$2 ;;
        --scenarios) scenarios=$2 ;;
        *) sed -n '2,8s/^# \{0,1\}//p' "$0"; exit 2 ;;
    esac
    shift 2
done

client=build/native/examples/echo-service/echo-service
events=raw_syscalls:sys_enter
calls="epoll_wait epoll_ctl recvfrom sendto read write readv writev futex sched_yield"
for call in $calls; do events+=",syscalls:sys_enter_$call"; done
events+=",context-switches,task-clock"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

for scenario in $scenarios; do
    case "$scenario" in
        tcp-1x64) args="--connections 1 --message-size 64 --window 0" ;;
        tcp-64x64) args="--connections 64 --message-size 64 --window 0" ;;
        tcp-64x4k) args="--connections 64 --message-size 4096 --window 0" ;;
        udp-32x64) args="--connections 0 --window 32 --datagram-size 64" ;;
        *) echo "unknown scenario $scenario" >&2; exit 2 ;;
    esac
    for server in $servers; do
        program=$client
        [ "$server" = runtime ] || program=build/peers/$server-echo
        "$program" --tcp-port 0 --udp-port 0 --threads "$threads" >"$work/server.log" 2>&1 &
        pid=$!
        for _ in $(seq 200); do
            grep -qs "serving echo" "$work/server.log" && break
            sleep 0.05
        done
        if ! grep -qs "serving echo" "$work/server.log"; then
            echo "$scenario $server: did not start within 10 s" >&2
            kill -KILL "$pid" 2>/dev/null || true
            wait "$pid" 2>/dev/null || true
            continue
        fi
        tcp=$(sed -nE 's/.*tcp [0-9.]+:([0-9]+).*/\1/p' "$work/server.log")
        udp=$(sed -nE 's/.*udp [0-9.]+:([0-9]+).*/\1/p' "$work/server.log")
        # The counters cover exactly the client's run.
        # shellcheck disable=SC2086
        perf stat -x, -e "$events" -p "$pid" -o "$work/stat.csv" -- "$client" --load \
            --tcp-port "$tcp" --udp-port "$udp" $args --duration "$duration" --json \
            >"$work/load.json" 2>/dev/null || true
        kill -INT "$pid"
        wait "$pid" || true
        trips=$(grep -oE '"round_trips": [0-9]+' "$work/load.json" | head -1 | awk '{print $2}')
        echo "$scenario $server (threads $threads): ${trips:-0} round trips"
        awk -F, -v trips="${trips:-0}" '/^[0-9]/ && trips > 0 {
            name = $3; sub(/^(raw_)?syscalls:sys_enter_?/, "", name)
            if (name == "") name = "all system calls"
            if (name == "task-clock") printf "  %-18s %8.2f us per round trip\n", "cpu", $1 * 1000 / trips
            else if ($1 > 0) printf "  %-18s %8.2f per round trip\n", name, $1 / trips
        }' "$work/stat.csv"
    done
done

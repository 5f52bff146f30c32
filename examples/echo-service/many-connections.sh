#!/usr/bin/env bash
# Holds 16,000 connections open at once over loopback: the echo service runs as four
# processes on one port, its load client as four more, 4,000 connections each, well under
# the 7,169 message numbers and the open files of one process. Every connection keeps a
# message in flight and every echo is checked. Fails unless every connection was served
# (none turned away) with no error, and the service stops cleanly on SIGINT. Prints the
# connections held, the round trips and the times. Linux only.
#
#   many-connections.sh [PROGRAM] [SECONDS]   default: the native build's echo-service, 20 s
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
program=${1:-$here/../../build/native/examples/echo-service/echo-service}
seconds=${2:-20}
connections=16000
processes=4
# shellcheck source=SCRIPTDIR/../common/script-support.sh
source "$here/../common/script-support.sh"
[ -x "$program" ] || fail "no program at $program (build it: cmake --build --preset native)"
now() { date +%s.%N; }
since() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.1f", b - a }'; }

# Each process holds its share of the connections plus a few files of its own; the service's
# shares are uneven, so leave room up to its --max-connections.
need=7200
soft=$(ulimit -Sn)
hard=$(ulimit -Hn)
if [ "$soft" != unlimited ] && [ "$soft" -lt "$need" ]; then
    [ "$hard" = unlimited ] || [ "$hard" -ge "$need" ] ||
        fail "open files: hard limit $hard, each process needs $need"
    ulimit -Sn "$need" || fail "cannot raise the open-file limit to $need"
fi
echo "open files per process: $(ulimit -Sn) (hard limit $hard)"

"$program" --processes "$processes" --tcp-port 0 --udp-port 0 --threads 1 \
    --max-connections 7000 >"$work/service.log" 2>&1 &
service=$!
pids+=("$service")
starts_serving 10 "$service" "$work/service.log" "serving echo" "$processes" ||
    fail "not every service process started"
port=$(sed -nE 's/.*processes serving on tcp [0-9.]+:([0-9]+)$/\1/p' "$work/service.log")
read -ra servers <<<"$(sed -nE 's/.*started [0-9]+ processes: ([0-9 ]+) \(.*/\1/p' "$work/service.log")"
base=$(open_fds "${servers[@]}")
echo "service: $processes processes (${servers[*]}) on tcp port $port"

echo "load: $connections connections from $processes processes for $seconds s"
start=$(now)
"$program" --load --processes "$processes" --tcp-port "$port" --window 0 \
    --connections "$connections" --message-size 64 --threads 1 --duration "$seconds" \
    >"$work/load.log" 2>&1 &
load=$!
pids+=("$load")
held=0
all_held_after=""
while kill -0 "$load" 2>/dev/null; do
    open=$(($(open_fds "${servers[@]}") - base))
    [ "$open" -gt "$held" ] && held=$open
    [ -z "$all_held_after" ] && [ "$open" -ge "$connections" ] && all_held_after=$(since "$start")
    echo "  [$(since "$start") s] connections open at the service: $open"
    sleep 1
done
wait "$load"
load_status=$?
load_seconds=$(since "$start")

kill -INT "$service"
ends_within 30 "$service" || fail "the service did not stop within 30 s of SIGINT"
wait "$service"
service_status=$?
pids=()

# The figures, each summed over the processes.
sum() { sed -nE "s/$1/\\1/p" "$2" | awk '{ s += $1 } END { print s + 0 }'; }
served=$(sum '.*stopped: ([0-9]+) connections served.*' "$work/service.log")
refused=$(sum '.*served \(([0-9]+) turned away.*' "$work/service.log")
turned_away=$(sum '.*limit, ([0-9]+) with no message.*' "$work/service.log")
round_trips=$(sum '^  round trips +([0-9]+) .*' "$work/load.log")
errors=$(sum '^  errors +([0-9]+) .*' "$work/load.log")
echo "connections held at once: $held of $connections (all open after ${all_held_after:-never} s)"
echo "round trips: $round_trips in $load_seconds s, every echo checked; errors: $errors"
echo "service: $served connections served, $refused turned away at the limit," \
    "$turned_away with no message number free"
grep "exited with status\|ended by signal" "$work/service.log"

[ "$load_status" -eq 0 ] || fail "the load client exited with $load_status"
[ "$service_status" -eq 0 ] || fail "the service exited with $service_status after SIGINT"
[ "$(grep -c "exited with status 0" "$work/service.log")" -eq "$processes" ] ||
    fail "not every service process exited cleanly"
[ "$held" -ge "$connections" ] || fail "only $held connections were open at once"
[ "$served" -eq "$connections" ] || fail "$served connections served, not $connections"
[ "$((refused + turned_away))" -eq 0 ] || fail "connections were turned away"
[ "$errors" -eq 0 ] || fail "$errors errors"
echo "many-connections demo passed"

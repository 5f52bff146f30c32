#!/usr/bin/env bash
# Measures what the echo service keeps resident (VmRSS from /proc, Linux only): with 1000
# idle connections open, and after clients that send without ever reading. Fails when
# 1000 idle connections cost 64 MiB or more, or when the clients that never read make the
# service grow past a fixed bound.
#
#   idle-memory.sh PROGRAM
set -uo pipefail
program=$1
# shellcheck source=SCRIPTDIR/../common/script-support.sh
source "$(dirname "$0")/../common/script-support.sh"
rss_kib() { awk '/^VmRSS/ { print $2 }' "/proc/$1/status"; }

ulimit -n 4096 2>/dev/null || true
"$program" --tcp-port 0 --udp-port 0 --threads 2 >"$work/service.log" 2>&1 &
service=$!
pids+=("$service")
starts_serving 10 "$service" "$work/service.log" "serving echo"
tcp=$(sed -nE 's/.*tcp [0-9.]+:([0-9]+).*/\1/p' "$work/service.log")
[ -n "$tcp" ] || fail "the service did not start"
base_fds=$(open_fds "$service")
start_rss=$(rss_kib "$service")

"$program" --load --tcp-port "$tcp" --connections 0 --window 0 --idle-connections 1000 \
    --duration 30 >"$work/client.log" 2>&1 &
client=$!
pids+=("$client")
for _ in $(seq 200); do
    [ "$(open_fds "$service")" -ge $((base_fds + 1000)) ] && break
    sleep 0.1
done
[ "$(open_fds "$service")" -ge $((base_fds + 1000)) ] || fail "1000 connections were not made"
sleep 0.5
idle_rss=$(rss_kib "$service")

# Ten clients push as much as they can for three seconds and never read.
for i in $(seq 10); do
    timeout 3 bash -c "head -c 1000000000 /dev/zero >/dev/tcp/127.0.0.1/$tcp" 2>/dev/null &
    pids+=($!)
done
sleep 3.5
pushed_rss=$(rss_kib "$service")

kill -TERM "$service"
wait "$service"
status=$?
kill "$client" 2>/dev/null
echo "service resident: $start_rss KiB at start, $idle_rss KiB with 1000 idle connections," \
    "$pushed_rss KiB after 10 clients pushed for 3 s without reading"
grep "stopped" "$work/service.log"
[ "$status" -eq 0 ] || fail "the service exited with $status"
[ "$idle_rss" -lt $((64 * 1024)) ] || fail "1000 idle connections cost $idle_rss KiB"
# Each connection holds one fixed buffer (16 KiB); allow for the allocator's slack.
[ "$pushed_rss" -lt $((idle_rss + 4 * 1024)) ] ||
    fail "clients that never read grew the service from $idle_rss to $pushed_rss KiB"
grep -q "at most [0-9]* bytes buffered" "$work/service.log" || fail "no summary"
echo "memory check passed"

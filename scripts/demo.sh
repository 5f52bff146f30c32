#!/usr/bin/env bash
# The main job: builds the example echo service natively, starts it on loopback, drives it
# for about 10 seconds with its load client (which verifies every echoed byte and prints a
# progress line each second and a summary), then stops the service with Ctrl-C's signal
# and shows what it did.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh native
cmake --preset native >/dev/null
cmake --build --preset native --target echo-service
program=build/native/examples/echo-service/echo-service

log=$(mktemp)
service=""
cleanup() {
    [ -n "$service" ] && kill "$service" 2>/dev/null
    rm -f "$log"
}
trap cleanup EXIT

echo
# Ports 0: the system chooses free ones, and the service says which.
"$program" --tcp-port 0 --udp-port 0 >"$log" 2>&1 &
service=$!
for _ in $(seq 100); do
    grep -q "serving echo" "$log" && break
    kill -0 "$service" 2>/dev/null || { cat "$log"; exit 1; }
    sleep 0.1
done
cat "$log"
tcp=$(sed -nE 's/.*tcp [0-9.]+:([0-9]+).*/\1/p' "$log")
udp=$(sed -nE 's/.*udp [0-9.]+:([0-9]+).*/\1/p' "$log")

echo
status=0
"$program" --load --tcp-port "$tcp" --udp-port "$udp" --duration 10 \
    --connections 16 --idle-connections 100 --window 16 || status=$?

echo
kill -INT "$service"
service_status=0
wait "$service" || service_status=$?
service=""
tail -n +2 "$log"
[ "$status" -eq 0 ] && [ "$service_status" -eq 0 ]

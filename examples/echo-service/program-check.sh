#!/usr/bin/env bash
# Runs the echo program as a newcomer would: a service, its load client driving it over
# loopback with every byte verified, and a clean stop (by signal where the platform has
# them, else by --duration). Exits non-zero on any fault.
#
#   program-check.sh PROGRAM [RUNNER]   RUNNER runs Windows programs (the Wine runner)
set -uo pipefail
program=$1
runner=${2:-}
# shellcheck source=SCRIPTDIR/../common/script-support.sh
source "$(dirname "$0")/../common/script-support.sh"

# Starts the service in the background with the given options; sets $service and the
# ports it chose ($tcp, $udp).
start_service() {
    local log=$1
    shift
    $runner "$program" --tcp-port 0 --udp-port 0 --threads 2 "$@" >"$log" 2>&1 &
    service=$!
    pids+=("$service")
    starts_serving 30 "$service" "$log" "serving echo"
    local line
    line=$(grep -m1 "serving echo" "$log" | tr -d '\r') || fail "no serving line"
    tcp=$(sed -E 's/.*tcp [^ ]+:([0-9]+).*/\1/' <<<"$line")
    udp=$(sed -E 's/.*udp [^ ]+:([0-9]+).*/\1/' <<<"$line")
}

# Waits at most 15 s for the service to end; its exit status in $status.
wait_service() {
    ends_within 15 "$service" || fail "the service did not stop"
    wait "$service"
    status=$?
}

# Drives the service for the given seconds with the given options; every byte checked.
load() {
    local seconds=$1
    shift
    $runner "$program" --load --tcp-port "$tcp" --udp-port "$udp" --duration "$seconds" \
        --threads 2 --json "$@" >"$work/load.json" 2>"$work/load.log" ||
        fail "the load client reported errors"
    grep -q '"errors": 0,' "$work/load.json" || fail "errors in the summary"
    grep -q '"round_trips": [1-9]' "$work/load.json" || fail "no round trips"
}

# Then messages larger than every buffer on the way, and the largest datagrams.
load_large() {
    load 2 --connections 2 --message-size 1048576 --window 2 --datagram-size 65507
}

if [ -z "$runner" ]; then
    # Driven for 3 s, then stopped with SIGINT.
    start_service "$work/service.log"
    load 3 --idle-connections 20
    load_large
    kill -INT "$service"
    wait_service
    [ "$status" -eq 0 ] || fail "the service exited with $status after SIGINT"
    grep -q "stopped: 30 connections served" "$work/service.log" || fail "no summary"

    # Stopped with SIGTERM while connections are open.
    start_service "$work/service2.log"
    "$program" --load --tcp-port "$tcp" --udp-port "$udp" --duration 5 --threads 1 \
        --connections 4 --idle-connections 30 >"$work/load2.log" 2>&1 &
    client=$!
    for _ in $(seq 100); do
        grep -q "\[  2s" "$work/load2.log" && break
        sleep 0.1
    done
    kill -TERM "$service"
    wait_service
    [ "$status" -eq 0 ] || fail "the service exited with $status after SIGTERM"
    grep -q "stopping: 34 connections open" "$work/service2.log" ||
        fail "the connections were not open at the stop"
    grep -q "stopped: 34 connections served" "$work/service2.log" || fail "no summary"
    # The client sees its connections end and says so.
    wait "$client" && fail "the client did not notice the service going"
    grep -q "closed early [1-9]" "$work/load2.log" || fail "no early closes reported"

    # Bad process counts are refused; two processes share the port the parent chose, each
    # serves some of the load client's (two processes') connections, and SIGINT stops both.
    for value in 0 65 x; do
        "$program" --processes "$value" >"$work/bad.log" 2>&1
        [ $? -eq 2 ] && grep -q "^echo-service: bad value '$value' for --processes$" "$work/bad.log" ||
            fail "--processes $value was not refused"
    done
    start_service "$work/processes.log" --processes 2
    starts_serving 5 "$service" "$work/processes.log" "serving echo on tcp 127.0.0.1:$tcp " 2
    "$program" --load --processes 2 --tcp-port "$tcp" --window 0 --connections 40 --duration 2 \
        --threads 1 >"$work/load3.log" 2>&1 || fail "the two load processes reported errors"
    kill -INT "$service"
    wait_service
    [ "$status" -eq 0 ] || fail "the processes' parent exited with $status after SIGINT"
    served=$(sed -nE 's/.*stopped: ([0-9]+) connections served.*/\1/p' "$work/processes.log")
    read -r first second <<<"$(tr "\n" " " <<<"$served")"
    [ "${first:-0}" -gt 0 ] && [ "${second:-0}" -gt 0 ] && [ $((first + second)) -eq 40 ] ||
        fail "the two processes served '$served', not some of 40 each"
    [ "$(grep -c "^echo-service: process [0-9]* exited with status 0$" "$work/processes.log")" \
        -eq 2 ] || fail "the parent did not report both processes' exits"

    # On :: the service takes IPv6 and IPv4 clients alike.
    if has_ipv6_loopback; then
        start_service "$work/ipv6.log" --bind ::
        grep -q "serving echo on tcp \[::\]:$tcp and udp \[::\]:$udp " "$work/ipv6.log" ||
            fail "no IPv6 serving line"
        load 1 --target "[::1]"
        load 1 --target 127.0.0.1
        kill -INT "$service"
        wait_service
        [ "$status" -eq 0 ] || fail "the IPv6 service exited with $status after SIGINT"
    else
        echo "skipped the IPv6 run: this machine has no ::1"
    fi
else
    # Windows under Wine: the service stops by itself after its duration.
    start_service "$work/service.log" --duration 8
    load 3
    load_large
    wait_service
    [ "$status" -eq 0 ] || fail "the service exited with $status"
    grep -q "stopped: 10 connections served" "$work/service.log" || fail "no summary"
    # No port is shared among processes there.
    $runner "$program" --processes 2 --tcp-port 0 >"$work/processes.log" 2>&1 &&
        fail "--processes ran on Windows"
    grep -q "not supported on this platform" "$work/processes.log" || fail "no reason given"
fi
cat "$work"/load.json
echo "program check passed"

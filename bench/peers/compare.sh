#!/usr/bin/env bash
# Runs the runtime's echo-service, the same service on libuv, libevent and Asio, and a plain
# single-threaded epoll loop (the near-limit reference) under one light load generator
# (epoll-load: one thread, every echoed byte checked), scenario by scenario, and prints
# round trips per second, latency and round trips per server CPU second beside the
# runtime's, then system calls and context switches per round trip for every server.
#
#   bash bench/peers/compare.sh [--threads "1"] [--duration 3] [--repeat 3]
#       [--servers "runtime uv event asio epoll"] [--scenarios "..."] [--no-syscalls]
#       [--also NAME=PATH]...
#
# --also adds another build of the runtime's echo-service as server NAME (say, the tree
# before a change), measured in the same rounds as the rest.
# Fairness: the server (all its threads) is pinned to CPU 0 and the load generator to
# CPU 1, so every server has one core and the generator never takes CPU from it. --threads
# takes a list ("1 2" runs everything once per count): the runtime's task threads (its
# event-loop thread comes on top), Asio's io_context threads, libuv's and libevent's loops;
# the epoll loop always has one. Scenarios: tcp-1x64 tcp-64x64 tcp-64x4k udp-32x64, and
# churn-16 (16 at a time: connect, one 64-byte echo, close; a round trip is a connection). Every
# figure is the median of --repeat runs, taken in rounds over all servers so that a slow
# spell hits each alike. Each run waits for an idle machine and is made again if other
# work took much CPU meanwhile. Raw results go to build/peers/results/.
set -euo pipefail
cd "$(dirname "$0")/../.."

threads_list="1"
duration=3
servers="runtime uv event asio epoll"
scenarios="tcp-1x64 tcp-64x64 tcp-64x4k udp-32x64 churn-16"
repeat=3
syscalls=1
declare -A also=()
also_names=""
while [ $# -gt 0 ]; do
    case "$1" in
        --also) also[${2%%=*}]=${2#*=}; also_names+=" ${2%%=*}" ;;
        --threads) threads_list=$2 ;;
        --duration) duration=$2 ;;
        --servers) servers=$2 ;;
        --scenarios) scenarios=$2 ;;
        --repeat) repeat=$2 ;;
        --no-syscalls) syscalls=0; shift; continue ;;
        *) sed -n '2,22s/^# \{0,1\}//p' "$0"; exit 2 ;;
    esac
    shift 2
done
servers="${servers/runtime/runtime$also_names}"

scenario_args() {
    case "$1" in
        tcp-1x64) echo "--connections 1 --message-size 64 --window 0" ;;
        tcp-64x64) echo "--connections 64 --message-size 64 --window 0" ;;
        tcp-64x4k) echo "--connections 64 --message-size 4096 --window 0" ;;
        udp-32x64) echo "--connections 0 --window 32 --datagram-size 64" ;;
        churn-16) echo "--connections 16 --message-size 64 --window 0 --churn" ;;
        *) echo "unknown scenario $1" >&2; exit 2 ;;
    esac
}

server_program() {
    case "$1" in
        runtime) echo build/native/examples/echo-service/echo-service ;;
        uv | event | asio | epoll) echo "build/peers/$1-echo" ;;
        *) [ -n "${also[$1]:-}" ] && echo "${also[$1]}" && return
            echo "unknown server $1" >&2; exit 2 ;;
    esac
}

# ---- Set-up: the libraries, the runtime's service, the peers and the load generator -----
missing=()
for package in libuv1-dev libevent-dev libasio-dev linux-perf; do
    dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
    [ "$(id -u)" -eq 0 ] || { echo "compare.sh: needs root to install ${missing[*]}" >&2; exit 1; }
    echo "installing: ${missing[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
        "${missing[@]}" >/dev/null
fi
scripts/install-deps.sh native
cmake --preset native >/dev/null
cmake --build --preset native --target echo-service >/dev/null
cmake -S bench/peers -B build/peers -G Ninja >/dev/null
cmake --build build/peers >/dev/null
client=build/peers/epoll-load
[ "$(nproc)" -ge 2 ] || { echo "compare.sh: needs two CPUs to pin server and client apart" >&2; exit 1; }

results=build/peers/results
mkdir -p "$results"
rows="$results/rows.tsv"
calls="$results/syscalls.tsv"
: >"$rows"
: >"$calls"
ticks_per_second=$(getconf CLK_TCK)
# shellcheck source=bench/peers/machine.sh
. bench/peers/machine.sh

server_pid=""
cleanup() {
    [ -n "$server_pid" ] && kill -INT "$server_pid" 2>/dev/null
    return 0
}
trap cleanup EXIT

# Context switches of all a process's threads so far.
context_switches() {
    cat /proc/"$1"/task/*/status 2>/dev/null |
        awk '/^(non)?voluntary_ctxt_switches/ {total += $2} END {print total + 0}'
}

# The value of a key in the load generator's one-line JSON summary.
json_value() {
    grep -oE "\"$2\": [0-9.]+" "$1" | head -1 | awk '{print $2}'
}

# Seconds of CPU the subshell's children used, from the second line of `times`.
children_seconds() {
    sed -n 2p "$1" | awk '{
        total = 0
        for (i = 1; i <= 2; ++i) {
            split($i, part, "m"); sub("s", "", part[2]); total += part[1] * 60 + part[2]
        }
        print total }'
}

# Starts a server pinned to CPU 0 and sets server_pid, tcp and udp; false if it did not come up.
start_server() {
    local server=$1 threads=$2 log=$3
    taskset -c 0 "$(server_program "$server")" --tcp-port 0 --udp-port 0 --threads "$threads" \
        >"$log" 2>&1 &
    server_pid=$!
    for _ in $(seq 200); do
        grep -qs "serving echo" "$log" && break
        kill -0 "$server_pid" 2>/dev/null || break
        sleep 0.05
    done
    if ! grep -qs "serving echo" "$log"; then
        echo "compare.sh: $server did not start within 10 s:" >&2
        cat "$log" >&2
        kill -KILL "$server_pid" 2>/dev/null || true
        wait "$server_pid" 2>/dev/null || true
        server_pid=""
        return 1
    fi
    tcp=$(sed -nE 's/.*tcp [0-9.]+:([0-9]+).*/\1/p' "$log")
    udp=$(sed -nE 's/.*udp [0-9.]+:([0-9]+).*/\1/p' "$log")
}

# Stops the server; its exit status goes to server_status.
stop_server() {
    server_status=0
    kill -INT "$server_pid"
    wait "$server_pid" || server_status=$?
    server_pid=""
}

run_one() {
    local threads=$1 scenario=$2 server=$3 round=$4
    local tag="t${threads}-${scenario}-${server}-${round}"
    local json="$results/$tag.json"
    if ! start_server "$server" "$threads" "$results/$tag.server.log"; then
        printf '%s\t%s\t%s\tfailed\n' "$threads" "$scenario" "$server" >>"$rows"
        return
    fi
    local before after switches_before switches_after machine_before machine_after
    local client_status=0
    machine_before=$(machine_ticks)
    before=$(cpu_ticks "$server_pid")
    switches_before=$(context_switches "$server_pid")
    # shellcheck disable=SC2046
    (taskset -c 1 "$client" --tcp-port "$tcp" --udp-port "$udp" $(scenario_args "$scenario") \
        --duration "$duration" --json >"$json" 2>"$results/$tag.client.log"
     status=$?
     times >"$results/$tag.times"
     exit $status) || client_status=$?
    after=$(cpu_ticks "$server_pid")
    switches_after=$(context_switches "$server_pid")
    machine_after=$(machine_ticks)
    stop_server

    local seconds rate median p99 p999 errors server_cpu client_cpu other_cpu trips
    seconds=$(json_value "$json" seconds)
    rate=$(json_value "$json" round_trips_per_second)
    median=$(json_value "$json" median_latency_us)
    p99=$(json_value "$json" p99_latency_us)
    p999=$(json_value "$json" p999_latency_us)
    errors=$(json_value "$json" errors)
    trips=$(json_value "$json" round_trips)
    server_cpu=$(awk -v t=$((after - before)) -v hz="$ticks_per_second" 'BEGIN{print t / hz}')
    client_cpu=$(children_seconds "$results/$tag.times")
    other_cpu=$(awk -v t=$((machine_after - machine_before)) -v hz="$ticks_per_second" \
        -v s="$server_cpu" -v c="$client_cpu" 'BEGIN{o = t / hz - s - c; print (o > 0 ? o : 0)}')
    local switches
    switches=$(awk -v s=$((switches_after - switches_before)) -v n="${trips:-0}" \
        'BEGIN{print (n > 0 ? s / n : 0)}')
    local note=ok
    [ "$client_status" -eq 0 ] || note="client-exit-$client_status"
    [ "$server_status" -eq 0 ] || note="server-exit-$server_status"
    printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$threads" "$scenario" \
        "$server" "$note" "${seconds:-0}" "${rate:-0}" "${median:-0}" "${p99:-0}" \
        "${errors:-0}" "$server_cpu" "$client_cpu" "$other_cpu" "$switches" "${p999:-0}" >>"$rows"
    printf '  %-10s %-8s %10.0f round trips/s, p99 %s us, server cpu %.2f s, %s\n' "$scenario" \
        "$server" "${rate:-0}" "${p99:-0}" "$server_cpu" "$note"
}

# System calls and context switches per round trip, counted by perf in a run of their own
# (counting slows every system call a little, so the measured runs go without it).
count_calls() {
    local threads=$1 scenario=$2 server=$3
    local tag="t${threads}-${scenario}-${server}-calls"
    start_server "$server" "$threads" "$results/$tag.server.log" || return 0
    local events=raw_syscalls:sys_enter,context-switches
    local call
    for call in epoll_wait epoll_ctl read recvfrom write sendto futex accept4 close; do
        events+=",syscalls:sys_enter_$call"
    done
    # shellcheck disable=SC2046
    # Per thread: without it perf counts the process's first thread alone.
    perf stat -x, --per-thread -e "$events" -p "$server_pid" -o "$results/$tag.csv" -- taskset -c 1 \
        "$client" --tcp-port "$tcp" --udp-port "$udp" $(scenario_args "$scenario") \
        --duration "$duration" --json >"$results/$tag.json" 2>/dev/null || true
    stop_server
    local trips
    trips=$(json_value "$results/$tag.json" round_trips)
    awk -F, -v trips="${trips:-0}" -v head="$threads\t$scenario\t$server" '
        NF > 4 && $2 ~ /^[0-9]+$/ && trips > 0 {
            name = $4; sub(/^(raw_)?syscalls:sys_enter_?/, "", name)
            if (name == "") name = "calls"
            if (name == "context-switches") name = "switches"
            figure[name] += $2 / trips
        }
        END {
            line = head
            n = split("calls switches epoll_wait epoll_ctl read recvfrom write sendto futex accept4 close", k, " ")
            for (i = 1; i <= n; ++i) line = line "\t" sprintf("%.2f", figure[k[i]])
            print line
        }' "$results/$tag.csv" >>"$calls"
}

# A run during which other work took more than a tenth of the run's time is made again, up
# to twice; the table's oth column shows what disturbance remained.
measure() {
    local attempt disturbed
    for attempt in 1 2 3; do
        wait_for_quiet 60
        run_one "$@"
        disturbed=$(tail -n 1 "$rows" | awk -F'\t' -v d="$duration" '{print ($12 > d / 10) ? 1 : 0}')
        [ "$disturbed" = 1 ] && [ "$attempt" -lt 3 ] || return 0
        echo "  (disturbed by other work on the machine: again)"
        sed -i '$d' "$rows"
    done
}

echo
echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | sed 's/.*: //'), kernel $(uname -r)"
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "each run: $duration s; server pinned to CPU 0, load generator (one thread) to CPU 1"
start=$(date +%s)
for threads in $threads_list; do
    echo "server threads: $threads"
    for scenario in $scenarios; do
        for round in $(seq "$repeat"); do
            for server in $servers; do
                measure "$threads" "$scenario" "$server" "$round"
            done
        done
        if [ "$syscalls" = 1 ]; then
            for server in $servers; do count_calls "$threads" "$scenario" "$server"; done
        fi
    done
done
echo "took $(($(date +%s) - start)) s"

# ---- The tables --------------------------------------------------------------------------
awk -F'\t' -v servers="$servers" '
function ratio(value, reference) { return reference > 0 ? sprintf("%.2f", value / reference) : "-" }
function median(key, s, metric,    count, i, j, v, t) {
    count = runs[key, s]
    for (i = 1; i <= count; ++i) {
        v[i] = value[key, s, metric, i]
        for (j = i; j > 1 && v[j - 1] > v[j]; --j) { t = v[j]; v[j] = v[j - 1]; v[j - 1] = t }
    }
    return count % 2 ? v[(count + 1) / 2] : (v[count / 2] + v[count / 2 + 1]) / 2
}
{
    key = $1 SUBSEP $2
    if (!(key in seen)) { seen[key] = 1; order[++count] = key }
    if ($4 == "failed") { failed[key, $3] = 1; next }
    i = ++runs[key, $3]
    if ($4 != "ok") note[key, $3] = " " $4
    value[key, $3, "rate", i] = $6; value[key, $3, "median", i] = $7
    value[key, $3, "p99", i] = $8; errors[key, $3] += $9
    value[key, $3, "cpu", i] = $10; value[key, $3, "client", i] = $11
    value[key, $3, "other", i] = $12; value[key, $3, "switches", i] = $13
    value[key, $3, "p999", i] = $14
    value[key, $3, "perCPU", i] = $10 > 0 ? $6 * $5 / $10 : 0
}
END {
    n = split(servers, names, " ")
    printf "\n%-3s %-10s %-8s %9s %6s %7s %6s %7s %6s %8s %6s %9s %6s %6s %7s %7s %7s %s\n", "thr",
        "scenario", "server", "rt/s", "x", "med us", "x", "p99 us", "x", "p99.9 us", "x",
        "rt/cpu-s", "x", "cs/rt", "srv cpu", "cli cpu", "oth cpu", "errors"
    split("rate median p99 p999 perCPU cpu client other switches", metrics, " ")
    for (i = 1; i <= count; ++i) {
        key = order[i]; split(key, part, SUBSEP)
        for (j = 1; j <= n; ++j) {
            s = names[j]
            if (runs[key, s] > 0)
                for (m in metrics) figure[s, metrics[m]] = median(key, s, metrics[m])
        }
        ref = "runtime"
        for (j = 1; j <= n; ++j) {
            s = names[j]
            if (failed[key, s] && !runs[key, s]) {
                printf "%-3s %-10s %-8s failed to start\n", part[1], part[2], s
                continue
            }
            if (!runs[key, s]) continue
            printf "%-3s %-10s %-8s %9.0f %6s %7d %6s %7d %6s %8d %6s %9.0f %6s %6.2f %6.2fs %6.2fs %6.2fs %s%s\n",
                part[1], part[2], s, figure[s, "rate"], ratio(figure[s, "rate"], figure[ref, "rate"]),
                figure[s, "median"], ratio(figure[s, "median"], figure[ref, "median"]),
                figure[s, "p99"], ratio(figure[s, "p99"], figure[ref, "p99"]),
                figure[s, "p999"], ratio(figure[s, "p999"], figure[ref, "p999"]), figure[s, "perCPU"],
                ratio(figure[s, "perCPU"], figure[ref, "perCPU"]), figure[s, "switches"],
                figure[s, "cpu"], figure[s, "client"], figure[s, "other"], errors[key, s], note[key, s]
        }
        for (j = 1; j <= n; ++j) for (m in metrics) delete figure[names[j], metrics[m]]
    }
    print "\nx: ratio to the runtime (above 1: more round trips, or longer latency). cs/rt: the"
    print "server'"'"'s context switches per round trip. srv / cli / oth cpu: CPU seconds the server,"
    print "the load generator and everything else on the machine used during a run (oth well"
    print "above 0: the numbers were disturbed)."
}' "$rows" | tee "$results/table.txt"

if [ -s "$calls" ]; then
    {
        echo
        echo "Per round trip, counted by perf in one more run of each (the server's threads):"
        printf '%-3s %-10s %-8s %6s %6s %6s %6s %6s %6s %6s %6s %6s %6s %6s\n' thr scenario server \
            calls cs epoll_w ep_ctl read recvfr write sendto futex accept close
        awk -F'\t' '{ printf "%-3s %-10s %-8s %6s %6s %6s %6s %6s %6s %6s %6s %6s %6s %6s\n",
            $1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11, $12, $13, $14 }' "$calls"
    } | tee -a "$results/table.txt"
fi

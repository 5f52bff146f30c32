#!/usr/bin/env bash
# Runs the runtime's http-server and nginx (Debian's package) on the same two files, a small
# page and a 64 KiB file, drives each with wrk in turn, and prints requests per second, p99
# latency and server CPU per request beside nginx's, with the ratios runtime/nginx.
#
#   bash bench/peers/http-compare.sh [--threads 1] [--connections 32] [--duration 3]
#       [--rounds 3] [--rows "keep-small keep-64k close-small close-64k"]
#       [--also NAME=PATH]... [--tls]
#
# Rows: keep-alive connections, or a new connection per request (wrk sends "Connection:
# close"), each for the small page and the 64 KiB file. --threads gives the runtime's task
# threads (its event-loop thread comes on top) and nginx's worker processes (its master
# process, idle while serving, on top). --also adds another build of http-server as server
# NAME (say, the tree before a change), measured in the same rounds. Both servers are
# started once and pinned to CPU 0, wrk (one thread) to CPU 1; in every round each server in
# turn gets one wrk run of --duration seconds, and each figure is the median of --rounds
# runs. Server CPU is utime + stime from /proc, summed over nginx's master and workers.
# A run is made again (once) if other work on the machine took much CPU meanwhile.
# --tls serves both over HTTPS (TLS 1.2 and 1.3) with the test certificate, one cipher suite
# and no session resumption, so that a new connection is a full handshake on both servers.
# Raw results go to build/peers/http-results/ (https-results/ with --tls).
set -euo pipefail
cd "$(dirname "$0")/../.."

threads=1
connections=32
duration=3
rounds=3
rows="keep-small keep-64k close-small close-64k"
declare -A also=()
also_names=""
tls=false
while [ $# -gt 0 ]; do
    case "$1" in
        --tls) tls=true; shift; continue ;;
        --also) also[${2%%=*}]=${2#*=}; also_names+=" ${2%%=*}" ;;
        --threads) threads=$2 ;;
        --connections) connections=$2 ;;
        --duration) duration=$2 ;;
        --rounds) rounds=$2 ;;
        --rows) rows=$2 ;;
        *) sed -n '2,21s/^# \{0,1\}//p' "$0"; exit 2 ;;
    esac
    shift 2
done
servers="runtime$also_names nginx"
scheme=http
$tls && scheme=https

# ---- Set-up: nginx, wrk and the runtime's server ------------------------------------------
missing=()
for package in nginx wrk; do
    command -v "$package" >/dev/null 2>&1 || [ -x "/usr/sbin/$package" ] || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
    sudo=""
    [ "$(id -u)" -ne 0 ] && sudo=sudo
    echo "installing: ${missing[*]}"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
        "${missing[@]}" >/dev/null
fi
nginx=$(command -v nginx || echo /usr/sbin/nginx)
scripts/install-deps.sh native
echo "building http-server"
cmake --preset native >/dev/null
nice cmake --build --preset native --target http-server >/dev/null
[ "$(nproc)" -ge 2 ] || { echo "http-compare.sh: needs two CPUs to pin servers and wrk apart" >&2; exit 1; }

results=build/peers/$scheme-results
mkdir -p "$results"
raw="$results/rows.tsv"
: >"$raw"
ticks_per_second=$(getconf CLK_TCK)
# shellcheck source=bench/peers/machine.sh
. bench/peers/machine.sh

# The content, and nginx's prefix, in one temporary directory.
work=$(mktemp -d /tmp/http-compare.XXXXXX)
chmod 755 "$work"
mkdir -p "$work/root" "$work/nginx/logs"
head -c 100 /dev/zero | tr '\0' 'x' >"$work/root/index.html"
head -c 65536 /dev/urandom >"$work/root/file-64k.bin"
chmod -R a+rX "$work/root"

# TLS settings both servers take from the OpenSSL library they share, rather than from
# options only one of them has: the TLS 1.3 suite (both OpenSSL's default, pinned so that a
# different build cannot pick another), and no session tickets, so that wrk, which resumes
# sessions when it reconnects, makes a full handshake on every new connection.
cipher_suite=TLS_AES_256_GCM_SHA384
certificate=$PWD/tests/data/tls/server.pem
private_key=$PWD/tests/data/tls/server-key.pem
server_env=()
if $tls; then
    cat >"$work/openssl.cnf" <<EOF
openssl_conf = init
[init]
ssl_conf = ssl
[ssl]
system_default = tls
[tls]
MinProtocol = TLSv1.2
Ciphersuites = $cipher_suite
NumTickets = 0
EOF
    server_env=(env OPENSSL_CONF="$work/openssl.cnf")
fi

declare -A pid=() port=()
cleanup() {
    local server
    for server in "${!pid[@]}"; do kill -TERM "${pid[$server]}" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

# A loopback port nothing listens on.
free_port() {
    local candidate
    for _ in $(seq 100); do
        candidate=$((20000 + RANDOM % 30000))
        ss -Hltn "sport = :$candidate" | grep -q . || { echo "$candidate"; return; }
    done
    echo "http-compare.sh: found no free port" >&2
    exit 1
}

# Waits up to 10 s for a line matching pattern in log; false if the process died first.
wait_for_line() {
    local pattern=$1 log=$2 process=$3
    for _ in $(seq 200); do
        grep -qs "$pattern" "$log" && return 0
        kill -0 "$process" 2>/dev/null || return 1
        sleep 0.05
    done
    return 1
}

start_nginx() {
    port[nginx]=$(free_port)
    local user=""
    [ "$(id -u)" -eq 0 ] && user="user root;"
    local listen="" tls_settings=""
    if $tls; then
        listen=" ssl"
        # No session cache either: with tickets off, TLS 1.3 would resume from the cache.
        tls_settings="ssl_certificate $certificate;
        ssl_certificate_key $private_key;
        ssl_protocols TLSv1.2 TLSv1.3;
        ssl_session_tickets off;
        ssl_session_cache off;"
    fi
    # Debian's defaults where they bear on serving files (sendfile, tcp_nopush); no access
    # log; keep-alive connections are not cut after a number of requests, as the runtime's
    # are not.
    cat >"$work/nginx/nginx.conf" <<EOF
$user
daemon off;
worker_processes $threads;
pid $work/nginx/nginx.pid;
error_log $work/nginx/logs/error.log;
events { worker_connections 4096; }
http {
    access_log off;
    sendfile on;
    tcp_nopush on;
    keepalive_requests 1000000000;
    types { text/html html; application/octet-stream bin; }
    client_body_temp_path $work/nginx/body;
    proxy_temp_path $work/nginx/proxy;
    fastcgi_temp_path $work/nginx/fastcgi;
    uwsgi_temp_path $work/nginx/uwsgi;
    scgi_temp_path $work/nginx/scgi;
    server {
        listen 127.0.0.1:${port[nginx]}$listen;
        root $work/root;
        $tls_settings
    }
}
EOF
    "${server_env[@]}" taskset -c 0 "$nginx" -p "$work/nginx" -c "$work/nginx/nginx.conf" \
        >"$results/nginx.log" 2>&1 &
    pid[nginx]=$!
    for _ in $(seq 200); do
        ss -Hltn "sport = :${port[nginx]}" | grep -q . && return 0
        sleep 0.05
    done
    echo "http-compare.sh: nginx did not start:" >&2
    cat "$results/nginx.log" "$work/nginx/logs/error.log" >&2
    exit 1
}

start_runtime() {
    local server=$1 program=build/native/examples/http-server/http-server
    [ "$server" = runtime ] || program=${also[$server]}
    local tls_options=()
    $tls && tls_options=(--tls-cert "$certificate" --tls-key "$private_key")
    "${server_env[@]}" taskset -c 0 "$program" --port 0 --root "$work/root" --threads "$threads" \
        "${tls_options[@]}" >"$results/$server.log" 2>&1 &
    pid[$server]=$!
    if ! wait_for_line "serving $scheme on" "$results/$server.log" "${pid[$server]}"; then
        echo "http-compare.sh: $server did not start:" >&2
        cat "$results/$server.log" >&2
        exit 1
    fi
    port[$server]=$(sed -nE "s/.*serving $scheme on [0-9.]+:([0-9]+).*/\\1/p" \
        "$results/$server.log")
}

# What a client gets from a server: protocol, cipher suite and the session tickets sent
# after one request (none, or wrk's new connections would not all be full handshakes).
tls_probe() {
    printf 'GET /index.html HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n' |
        timeout 5 openssl s_client -connect "127.0.0.1:$1" -servername localhost \
            -CAfile tests/data/tls/ca.pem -ign_eof 2>&1 |
        awk '/^(New|Reused),/ {gsub(",", ""); how = $1 " " $2 " " $NF}
            /TLS session ticket:/ {++tickets}
            /Verify return code/ {verified = $4 == 0 ? "verified" : "NOT verified"}
            END {printf "%s, certificate %s, %d session tickets\n", how, verified, tickets}'
}

# wrk's latency figure (2.5ms, 800.00us, 1.2s) in microseconds.
to_microseconds() {
    awk -v v="$1" 'BEGIN {
        n = v + 0; unit = v; sub(/^[0-9.]+/, "", unit)
        print ((unit == "us") ? n : (unit == "ms") ? n * 1000 : (unit == "s") ? n * 1e6 : n * 6e7) }'
}

row_path() {
    case "$1" in *-small) echo /index.html ;; *-64k) echo /file-64k.bin ;; esac
}

run_one() {
    local row=$1 server=$2 round=$3
    local out="$results/$row-$server-$round.wrk"
    local header=()
    [ "${row%%-*}" = close ] && header=(-H "Connection: close")
    local before after machine_before machine_after client_before client_after
    machine_before=$(machine_ticks)
    before=$(cpu_ticks "${pid[$server]}")
    client_before=$(awk '{print $14 + $15 + $16 + $17}' /proc/$$/stat)
    taskset -c 1 wrk -t1 -c"$connections" -d"${duration}s" --latency "${header[@]}" \
        "$scheme://127.0.0.1:${port[$server]}$(row_path "$row")" >"$out" 2>&1 || true
    after=$(cpu_ticks "${pid[$server]}")
    machine_after=$(machine_ticks)
    client_after=$(awk '{print $14 + $15 + $16 + $17}' /proc/$$/stat)

    local requests rate p99 errors cpu_us other
    requests=$(awk '/requests in/ {print $1}' "$out")
    rate=$(awk '/^Requests\/sec/ {print $2}' "$out")
    p99=$(to_microseconds "$(awk '$1 == "99%" {print $2}' "$out")")
    errors=$(awk '/Socket errors/ {gsub(",", ""); print $4 + $6 + $8 + $10}
        /Non-2xx/ {print $NF}' "$out" | awk '{s += $1} END {print s + 0}')
    cpu_us=$(awk -v t=$((after - before)) -v hz="$ticks_per_second" -v n="${requests:-0}" \
        'BEGIN {print (n > 0 ? t / hz / n * 1e6 : 0)}')
    # Everything else the machine did meanwhile, in seconds: well above 0 means disturbed.
    other=$(awk -v m=$((machine_after - machine_before)) -v s=$((after - before)) \
        -v c=$((client_after - client_before)) -v hz="$ticks_per_second" \
        'BEGIN {o = (m - s - c) / hz; print (o > 0 ? o : 0)}')
    printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$row" "$server" "$round" "${rate:-0}" \
        "${p99:-0}" "$cpu_us" "$errors" "$other" >>"$raw"
    # wrk's own CPU share, near 1 when the client rather than the server sets the pace.
    local client
    client=$(awk -v c=$((client_after - client_before)) -v hz="$ticks_per_second" \
        -v d="$duration" 'BEGIN {print c / hz / d}')
    printf '  %-11s %-8s %9.0f req/s, p99 %7.0f us, cpu %6.2f us/req, errors %s, other cpu %.2f s,' \
        "$row" "$server" "${rate:-0}" "${p99:-0}" "$cpu_us" "$errors" "$other"
    printf ' wrk %.2f cpu\n' "$client"
}

measure() {
    local attempt
    for attempt in 1 2; do
        wait_for_quiet 5
        run_one "$@"
        awk -F'\t' -v d="$duration" 'END {exit !($8 > d / 10)}' "$raw" && [ "$attempt" -lt 2 ] ||
            return 0
        echo "  (disturbed by other work on the machine: again)"
        sed -i '$d' "$raw"
    done
}

for server in $servers; do
    if [ "$server" = nginx ]; then start_nginx; else start_runtime "$server"; fi
done
echo
echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | sed 's/.*: //'), kernel $(uname -r)"
echo "nginx $("$nginx" -v 2>&1 | sed 's/.*\///'): $threads worker process(es) and a master;" \
    "runtime: $threads task thread(s) and one event-loop thread"
echo "servers pinned to CPU 0, wrk (1 thread, $connections connections) to CPU 1;" \
    "$rounds rounds of $duration s"
if $tls; then
    for server in $servers; do
        echo "tls, $server: $(tls_probe "${port[$server]}")"
    done
fi
start=$(date +%s)
for row in $rows; do
    for round in $(seq "$rounds"); do
        for server in $servers; do measure "$row" "$server" "$round"; done
    done
done
echo "took $(($(date +%s) - start)) s"

awk -F'\t' -v servers="$servers" '
function median(key, metric,    count, i, j, v, t) {
    count = runs[key]
    for (i = 1; i <= count; ++i) {
        v[i] = value[key, metric, i]
        for (j = i; j > 1 && v[j - 1] > v[j]; --j) { t = v[j]; v[j] = v[j - 1]; v[j - 1] = t }
    }
    return count % 2 ? v[(count + 1) / 2] : (v[count / 2] + v[count / 2 + 1]) / 2
}
function ratio(a, b) { return b > 0 ? sprintf("%.2f", a / b) : "-" }
{
    if (!($1 in seen)) { seen[$1] = 1; order[++rowCount] = $1 }
    key = $1 SUBSEP $2; i = ++runs[key]
    value[key, "rate", i] = $4; value[key, "p99", i] = $5; value[key, "cpu", i] = $6
    errors[key] += $7
}
END {
    n = split(servers, names, " ")
    printf "\n%-11s %-8s %9s %6s %9s %6s %8s %6s %s\n", "row", "server", "req/s", "x",
        "p99 us", "x", "cpu us/r", "x", "errors"
    for (r = 1; r <= rowCount; ++r) {
        ref = order[r] SUBSEP "nginx"
        for (j = 1; j <= n; ++j) {
            key = order[r] SUBSEP names[j]
            if (!runs[key]) continue
            rate = median(key, "rate"); p99 = median(key, "p99"); cpu = median(key, "cpu")
            printf "%-11s %-8s %9.0f %6s %9.0f %6s %8.2f %6s %d\n", order[r], names[j], rate,
                ratio(rate, median(ref, "rate")), p99, ratio(p99, median(ref, "p99")), cpu,
                ratio(cpu, median(ref, "cpu")), errors[key]
        }
    }
    print "\nx: ratio to nginx (req/s above 1: more requests; p99 and cpu above 1: longer, more)."
    print "cpu us/r: server CPU (all its threads or processes) per request, in microseconds."
}' "$raw" | tee "$results/table.txt"

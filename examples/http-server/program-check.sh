#!/usr/bin/env bash
# Runs the HTTP server as a newcomer would, against clients written elsewhere: curl, and
# Python's http.client over plain sockets for keep-alive, pipelining and bad requests; then
# the same over TLS (where the program has it), with openssl s_client and bad TLS peers. It
# serves a temporary directory with a 1 MiB file and links that lead out of it, and is
# stopped with SIGINT. Exits non-zero on any fault, 77 (skipped) without curl.
#
#   program-check.sh PROGRAM [--no-memory]   --no-memory: skip the resident-memory check
#                                            (under sanitizers, whose shadow memory counts)
set -uo pipefail
program=$1
memory_check=yes
[ "${2:-}" = --no-memory ] && memory_check=no
command -v curl >/dev/null || {
    echo "SKIPPED: curl is not installed"
    exit 77
}
command -v python3 >/dev/null || {
    echo "SKIPPED: python3 is not installed"
    exit 77
}
# shellcheck source=SCRIPTDIR/../common/script-support.sh
source "$(dirname "$0")/../common/script-support.sh"

# The served directory, and beside it what must never be served.
root=$work/root
mkdir -p "$root/sub" "$work/outside"
echo "secret outside the root" >"$work/outside/secret.txt"
printf '<p>index</p>\n' >"$root/index.html"
printf 'body{}\n' >"$root/style.css"
printf '{"a":1}\n' >"$root/data.json"
printf 'in sub\n' >"$root/sub/index.html"
head -c 1048576 /dev/urandom >"$root/big.bin"
truncate -s 64M "$root/huge.bin"  # sparse: costs no disk
ln -s "$work/outside/secret.txt" "$root/leak.txt"
ln -s "$work/outside" "$root/out"
ln -s style.css "$root/inside.css"  # a link that stays inside is served
mkfifo "$root/pipe"                 # not a file: not found, and no wait for a writer

# Starts the server in the background with the given options; sets $server and $port.
start_server() {
    local log=$1
    shift
    "$program" --port 0 --threads 2 "$@" >"$log" 2>&1 &
    server=$!
    pids+=("$server")
    starts_serving 10 "$server" "$log" "serving http"
    port=$(sed -nE '1s/^http-server: serving https? on (127\.0\.0\.1|\[::\]):([0-9]+)$/\2/p' "$log")
    [ -n "$port" ] || fail "no serving line first"
}

# Stops the server with the signal; it must end within 5 s, with status 0 and its stop line.
stop_server() {
    kill "-$1" "$server"
    ends_within 5 "$server" || fail "the server did not stop within 5 s of SIG$1"
    wait "$server"
    local status=$?
    [ "$status" -eq 0 ] || fail "the server exited with $status after SIG$1"
    grep -q "^http-server: stopped$" "$2" || fail "no stop line"
}

# Bad command lines: one line, the usage, status 2.
for args in "--port 70000" "--bogus" "--root" "--root $work/none" "--idle-timeout 0" \
    "--processes 0" "--processes 65"; do
    # shellcheck disable=SC2086
    "$program" $args >"$work/usage.out" 2>&1
    status=$?
    [ "$status" -eq 2 ] || fail "'$args' exited with $status"
    head -1 "$work/usage.out" | grep -q "^http-server: " || fail "'$args': no problem line"
    grep -q "^usage: http-server" "$work/usage.out" || fail "'$args': no usage"
done
"$program" --help | grep -q "^usage: http-server" || fail "--help"

# Without --root: the built-in page.
start_server "$work/builtin.log"
curl -s --max-time 10 "http://127.0.0.1:$port/" | grep -q "<h1>http-server</h1>" ||
    fail "no built-in page"
code=$(curl -s --max-time 10 -o /dev/null -w '%{http_code}' "http://127.0.0.1:$port/other")
[ "$code" = 404 ] || fail "built-in server answered /other with $code"
stop_server TERM "$work/builtin.log"

# On :: the server takes IPv6 and IPv4 clients alike.
if has_ipv6_loopback; then
    start_server "$work/ipv6.log" --bind ::
    for url in "http://[::1]:$port/" "http://127.0.0.1:$port/"; do
        curl -g -s --max-time 10 "$url" | grep -q "<h1>http-server</h1>" || fail "no page at $url"
    done
    stop_server TERM "$work/ipv6.log"
else
    echo "skipped the IPv6 run: this machine has no ::1"
fi

# Two processes on the port their parent chose: SIGINT stops both, and the parent says so.
"$program" --port 0 --threads 1 --processes 2 >"$work/processes.log" 2>&1 &
server=$!
pids+=("$server")
starts_serving 10 "$server" "$work/processes.log" "^http-server: serving http" 2
port=$(sed -nE '1s/^http-server: 2 processes serving http on 127\.0\.0\.1:([0-9]+)$/\1/p' \
    "$work/processes.log")
for _ in $(seq 10); do
    curl -s --max-time 10 "http://127.0.0.1:${port:-1}/" | grep -q "<h1>http-server</h1>" ||
        fail "two processes: no built-in page"
done
stop_server INT "$work/processes.log"
[ "$(grep -c "^http-server: process [0-9]* exited with status 0$" "$work/processes.log")" \
    -eq 2 ] || fail "the parent did not report both processes' exits"

start_server "$work/server.log" --root "$root" --idle-timeout 3
url=http://127.0.0.1:$port

# The checks made with curl, run as "${client[@]}" (curl with its options) against $url.
check_with_curl() {
    # Several requests on one connection: only the first connects.
    out=$("${client[@]}" --max-time 10 \
        -w '%{http_code} %{num_connects} %{content_type} %{size_download}\n' \
        -o /dev/null "$url/" -o /dev/null "$url/style.css" -o /dev/null "$url/data.json" \
        -o /dev/null "$url/sub/" -o /dev/null "$url/missing" -o /dev/null "$url/inside.css" \
        -o /dev/null "$url/pipe")
    expected="200 1 text/html; charset=utf-8 13
200 0 text/css; charset=utf-8 7
200 0 application/json 8
200 0 text/html; charset=utf-8 7
404 0 text/plain; charset=utf-8 14
200 0 text/css; charset=utf-8 7
404 0 text/plain; charset=utf-8 14"
    [ "$out" = "$expected" ] || fail "keep-alive with curl: got
$out"

    # HEAD: the length without the body. 405 with Allow for other methods.
    "${client[@]}" --max-time 10 -I "$url/big.bin" | tr -d '\r' >"$work/head.out"
    grep -q "^HTTP/1.1 200 OK$" "$work/head.out" &&
        grep -q "^Content-Length: 1048576$" "$work/head.out" || fail "HEAD: $(cat "$work/head.out")"
    "${client[@]}" --max-time 10 -i -X POST -d "a=1" "$url/index.html" |
        tr -d '\r' >"$work/post.out"
    grep -q "^HTTP/1.1 405 " "$work/post.out" && grep -q "^Allow: GET, HEAD$" "$work/post.out" ||
        fail "POST: $(cat "$work/post.out")"

    # The 1 MiB file, whole and unchanged.
    want=$(sha256sum <"$root/big.bin")
    got=$("${client[@]}" --max-time 20 "$url/big.bin" | sha256sum)
    [ "$got" = "$want" ] || fail "the 1 MiB download differs"

    # A slow reader that keeps taking what is sent is not idle: 64 MiB at 16 MiB/s outlasts the
    # 3 s idle timeout by more than the kernel buffers.
    out=$("${client[@]}" --max-time 20 --limit-rate 16M -o /dev/null \
        -w '%{http_code} %{size_download}' "$url/huge.bin")
    [ "$out" = "200 67108864" ] || fail "slow download: $out"

    # Ways out of the root: refused or not found, never the file.
    for path in /../outside/secret.txt /%2e%2e/outside/secret.txt \
        /sub/%2E%2E/%2e%2e/outside/secret.txt /..%2foutside%2fsecret.txt /leak.txt \
        /out/secret.txt /sub/../../outside/secret.txt; do
        out=$("${client[@]}" --max-time 10 --path-as-is -w '\n%{http_code}' "$url$path")
        code=${out##*$'\n'}
        [ "$code" = 400 ] || [ "$code" = 404 ] || fail "$path answered $code"
        grep -q secret <<<"$out" && fail "$path served a file outside the root"
    done
}

# Keep-alive and pipelining through Python's http.client; bad requests answered, then a
# clean end of the stream (no reset) even while the client keeps sending; the idle close.
# Given the CA file, over TLS.
check_with_python() {
    python3 - "$port" "$@" >>"$work/python.log" 2>&1 <<'PYTHON' || fail "the Python checks"
import http.client, io, socket, ssl, sys, time
port = int(sys.argv[1])
tls = ssl.create_default_context(cafile=sys.argv[2]) if len(sys.argv) > 2 else None
def connect():
    s = socket.create_connection(("127.0.0.1", port), timeout=10)
    return tls.wrap_socket(s, server_hostname="127.0.0.1") if tls else s
def connection():
    if tls:
        return http.client.HTTPSConnection("127.0.0.1", port, timeout=10, context=tls)
    return http.client.HTTPConnection("127.0.0.1", port, timeout=10)
failures = []
def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAILED:", what)

# Keep-alive: three requests on one connection, then HTTP/1.0 without keep-alive ends it.
conn = connection()
conn.connect()
first = conn.sock
for path, status in (("/", 200), ("/missing", 404), ("/style.css", 200)):
    conn.request("GET", path)
    response = conn.getresponse()
    body = response.read()
    check(response.status == status and conn.sock is first, f"keep-alive {path}")
conn.request("HEAD", "/big.bin")
response = conn.getresponse()
check(response.read() == b"" and response.getheader("Content-Length") == "1048576", "HEAD")
conn.close()
conn = connection()
conn._http_vsn, conn._http_vsn_str = 10, "HTTP/1.0"
conn.request("GET", "/data.json")
response = conn.getresponse()
check(response.read() == b'{"a":1}\n' and response.will_close, "HTTP/1.0 closes")
conn.close()

class Bytes(io.BytesIO):
    def close(self): pass  # a response closes its file once read; the next reads on

class Recorded:
    """A socket stand-in whose every response reads on from the same bytes."""
    def __init__(self, data): self.stream = Bytes(data)
    def makefile(self, mode): return self.stream

def exchange(data, pause_then=None):
    """Sends, reads to the end; True when the server ended the stream cleanly."""
    s = connect()
    s.sendall(data)
    received, clean = b"", True
    if pause_then is not None:
        time.sleep(0.2)
        try:
            s.sendall(pause_then)
        except OSError:
            clean = False
    try:
        while chunk := s.recv(65536):
            received += chunk
    except ConnectionResetError:
        clean = False
    s.close()
    return received, clean

def responses(data, methods):
    source = Recorded(data)
    out = []
    for method in methods:
        response = http.client.HTTPResponse(source, method=method)
        response.begin()
        out.append((response.status, response.read()))
    return out, source.stream.read()

# Pipelined: all sent at once (a POST body among them), answered in order.
pipelined = (b"GET /style.css HTTP/1.1\r\nHost: a\r\n\r\n"
             b"POST /x HTTP/1.1\r\nHost: a\r\nContent-Length: 5\r\n\r\nhello"
             b"HEAD /index.html HTTP/1.1\r\nHost: a\r\n\r\n"
             b"GET /missing HTTP/1.1\r\nHost: a\r\n\r\n"
             b"GET /data.json HTTP/1.1\r\nHost: a\r\nConnection: close\r\n\r\n")
data, clean = exchange(pipelined)
got, rest = responses(data, ["GET", "POST", "HEAD", "GET", "GET"])
check([s for s, _ in got] == [200, 405, 200, 404, 200] and got[0][1] == b"body{}\n"
      and got[2][1] == b"" and got[4][1] == b'{"a":1}\n' and rest == b"" and clean,
      f"pipelining: {got} {rest!r} {clean}")

# Bad requests: the answer, then the end, not a reset, though the client sends on (at
# once, more than the server reads in one go, and again a moment later).
for request, status in ((b"BOGUS\r\n\r\n", 400),
                        (b"GET / HTTP/1.1\r\n\r\n", 400),
                        (b"GET / HTTP/1.1\r\nHost: a\r\nX: " + b"x" * 9000 + b"\r\n\r\n", 431),
                        (b"POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 5000000\r\n\r\n", 413),
                        (b"POST / HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked\r\n\r\n", 501),
                        (b"GET / HTTP/3.0\r\nHost: a\r\n\r\n", 505)):
    data, clean = exchange(request + b"junk" * 16384, pause_then=b"more" * 1000)
    got, rest = responses(data, ["GET"])
    check(got[0][0] == status and rest == b"" and clean,
          f"{request[:30]!r}: {got} {rest!r} clean={clean}")
# A good request before the bad one is answered first.
data, clean = exchange(b"GET /style.css HTTP/1.1\r\nHost: a\r\n\r\nGET /\x01 HTTP/1.1\r\n\r\n")
got, rest = responses(data, ["GET", "GET"])
check([s for s, _ in got] == [200, 400] and clean, f"good then bad: {got}")

# Idle: a connection that sends nothing is closed after the timeout (3 s), not before.
s = connect()
start = time.monotonic()
end = s.recv(1)
took = time.monotonic() - start
check(end == b"" and 2.5 < took < 6, f"idle close after {took:.1f} s")
s.close()
sys.exit(1 if failures else 0)
PYTHON
}

client=(curl -s)
check_with_curl
check_with_python

# Clients that ask for a 64 MiB file and read none of it hold at most the writer's bound of
# the server's memory each (64 KiB, beside what the kernel buffers, and a TLS record when
# given the CA file), not the file.
check_memory_for_non_readers() {
    [ "$memory_check" = yes ] || return 0
    local log=$work/memory.log
    python3 - "$port" "$server" "$@" >>"$log" 2>&1 <<'PYTHON' || fail "memory held for non-readers"
import socket, ssl, sys, time
port, pid = int(sys.argv[1]), sys.argv[2]
def resident_kib():
    for line in open(f"/proc/{pid}/status"):
        if line.startswith("VmRSS:"):
            return int(line.split()[1])
def connect():
    s = socket.create_connection(("127.0.0.1", port), timeout=10)
    if len(sys.argv) < 4:
        return s
    tls = ssl.create_default_context(cafile=sys.argv[3])
    return tls.wrap_socket(s, server_hostname="127.0.0.1")
before = resident_kib()
clients = [connect() for _ in range(20)]
for client in clients:
    client.sendall(b"GET /huge.bin HTTP/1.1\r\nHost: a\r\n\r\n")
time.sleep(1.5)
grown = resident_kib() - before
print(f"resident memory grew by {grown} KiB with 20 clients not reading a 64 MiB file"
      + (" over TLS" if len(sys.argv) > 3 else ""))
# And the file was under way to each of them.
answered = all(client.recv(15) == b"HTTP/1.1 200 OK" for client in clients)
sys.exit(0 if grown < 20 * 1024 and answered else 1)
PYTHON
}

# Ctrl-C with a connection open (a TLS one when given the CA file): the server ends it and
# stops.
stop_with_connection_open() {
    python3 -c '
import socket, ssl, sys, time
s = socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=10)
if len(sys.argv) > 2:
    tls = ssl.create_default_context(cafile=sys.argv[2])
    s = tls.wrap_socket(s, server_hostname="127.0.0.1")
s.sendall(b"GET / HTTP/1.1\r\nHost: a\r\n\r\n")
time.sleep(10)' "$port" "$@" &
    local holder=$!
    sleep 0.5
    local start
    start=$(date +%s%N)
    stop_server INT "$log"
    local took=$((($(date +%s%N) - start) / 1000000))
    kill "$holder" 2>/dev/null
    wait "$holder" 2>/dev/null
    [ "$took" -lt 2500 ] || fail "the stop took $took ms"
}

check_memory_for_non_readers
log=$work/server.log
stop_with_connection_open

# HTTPS, where the program has TLS: the same checks through curl and Python's ssl, then
# openssl s_client, a client without the CA, and bad peers beside a client being served.
# The test CA's certificate names localhost and 127.0.0.1.
if ! "$program" --help | grep -q -- --tls-cert; then
    echo "skipped the HTTPS checks: this build has no TLS"
elif ! command -v openssl >/dev/null; then
    echo "skipped the HTTPS checks: openssl is not installed"
else
    tls=$(cd "$(dirname "$0")/../../tests/data/tls" && pwd)
    ca=$tls/ca.pem
    # A certificate, key or password that cannot be used: one line, status 1.
    printf 'test-password\n' >"$work/password"
    printf 'wrong\n' >"$work/wrong-password"
    encrypted="$tls/server-key-encrypted.pem --tls-key-password-file"
    for options in "$work/none.pem $tls/server-key.pem" "$tls/server.pem $tls/other-key.pem" \
        "$tls/server.pem $tls/server-key-encrypted.pem" "$root/style.css $tls/server-key.pem" \
        "$tls/server.pem $encrypted $work/wrong-password" "$tls/server.pem $encrypted $work/none"; do
        read -r cert key more <<<"$options"
        # shellcheck disable=SC2086 # the password option and its file, when there
        "$program" --port 0 --tls-cert "$cert" --tls-key $key $more >"$work/tls-bad.out" 2>&1
        status=$?
        [ "$status" -eq 1 ] && [ "$(wc -l <"$work/tls-bad.out")" -eq 1 ] &&
            grep -q "^http-server: " "$work/tls-bad.out" ||
            fail "--tls-cert $cert --tls-key $key $more: status $status, $(cat "$work/tls-bad.out")"
    done
    "$program" --tls-cert "$tls/server.pem" >/dev/null 2>&1
    [ $? -eq 2 ] || fail "--tls-cert without --tls-key is not a usage error"

    log=$work/https.log
    # The encrypted key, its password read from a file.
    start_server "$log" --root "$root" --idle-timeout 3 --tls-cert "$tls/server.pem" \
        --tls-key "$tls/server-key-encrypted.pem" --tls-key-password-file "$work/password"
    grep -q "^http-server: serving https on " "$log" || fail "no https serving line"
    url=https://localhost:$port
    client=(curl -s --cacert "$ca" --resolve "localhost:$port:127.0.0.1")
    check_with_curl
    check_with_python "$ca"

    # curl without the CA refuses the certificate (60: it did not verify).
    curl -s --max-time 10 --resolve "localhost:$port:127.0.0.1" -o /dev/null "$url/"
    status=$?
    [ "$status" -eq 60 ] || fail "curl without the CA exited with $status"

    # openssl s_client: the chain verified, a request and its answer.
    printf 'GET /data.json HTTP/1.1\r\nHost: a\r\nConnection: close\r\n\r\n' |
        timeout 10 openssl s_client -connect "127.0.0.1:$port" -servername localhost \
            -CAfile "$ca" -verify_hostname localhost -verify_return_error -ign_eof \
            >"$work/s_client.out" 2>&1
    tr -d '\r' <"$work/s_client.out" >"$work/s_client.log"
    grep -q "^Verify return code: 0 (ok)" "$work/s_client.log" &&
        grep -q "^HTTP/1.1 200 OK$" "$work/s_client.log" &&
        grep -q '^{"a":1}$' "$work/s_client.log" || fail "openssl s_client"

    # Bad peers, each beside a client that is served meanwhile: garbage for a ClientHello, a
    # handshake that stops half-way (ended by the 3 s idle deadline), a peer that closes
    # in the middle of a record, and a request sent a byte at a time (served).
    python3 - "$port" "$ca" >"$work/peers.log" 2>&1 <<'PYTHON' || fail "bad TLS peers"
import http.client, socket, ssl, sys, threading, time
port, ca = int(sys.argv[1]), sys.argv[2]
context = ssl.create_default_context(cafile=ca)
failures = []
def check(ok, what):
    print("ok:" if ok else "FAILED:", what)
    if not ok:
        failures.append(what)

def ends_within(s, seconds):
    """How long until the server ends the stream, reading and dropping what it sends."""
    start = time.monotonic()
    s.settimeout(seconds)
    try:
        while s.recv(4096):
            pass
    except ConnectionResetError:
        pass
    except socket.timeout:
        return None
    return time.monotonic() - start

class Peer:
    """TLS through memory, so that the test decides how its bytes reach the socket."""
    def __init__(self):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=10)
        self.incoming, self.outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
        self.tls = context.wrap_bio(self.incoming, self.outgoing, server_hostname="127.0.0.1")
    def send(self, piece=None):
        data = self.outgoing.read()
        step = piece or len(data) or 1
        for i in range(0, len(data), step):
            self.sock.sendall(data[i:i + step])
    def handshake(self, piece=None):
        while True:
            try:
                self.tls.do_handshake()
                return self.send(piece)
            except ssl.SSLWantReadError:
                self.send(piece)
                data = self.sock.recv(65536)
                if not data:
                    raise ConnectionError("the server ended the handshake")
                self.incoming.write(data)
    def answer(self):
        """Up to the server's close_notify or end of stream."""
        received = b""
        while True:
            try:
                data = self.tls.read(65536)
                if not data:
                    return received
                received += data
            except ssl.SSLWantReadError:
                data = self.sock.recv(65536)
                if not data:
                    return received
                self.incoming.write(data)
            except ssl.SSLZeroReturnError:
                return received

# A keep-alive client served between the bad peers: each answer within a second.
served = http.client.HTTPSConnection("127.0.0.1", port, timeout=10, context=context)
def served_now(what):
    start = time.monotonic()
    served.request("GET", "/style.css")
    response = served.getresponse()
    ok = response.read() == b"body{}\n" and time.monotonic() - start < 1
    check(ok, f"a client served beside {what}")

s = socket.create_connection(("127.0.0.1", port), timeout=10)
s.sendall(b"GET / HTTP/1.1\r\nHost: a\r\n\r\n")
took = ends_within(s, 2)
check(took is not None and took < 1, f"garbage for a ClientHello ended after {took} s")
served_now("garbage")

stalled = Peer()
try:
    stalled.tls.do_handshake()
except ssl.SSLWantReadError:
    pass
hello = stalled.outgoing.read()
stalled.sock.sendall(hello[:len(hello) // 2])
start = time.monotonic()
ended = None
while ended is None and time.monotonic() - start < 8:
    served_now("a stalled handshake")  # and kept from its own idle deadline meanwhile
    ended = ends_within(stalled.sock, 0.5)
took = time.monotonic() - start if ended is not None else None
check(took is not None and 2.5 < took < 6, f"a stalled handshake ended after {took} s")

cut = Peer()
cut.handshake()
cut.tls.write(b"GET /style.css HTTP/1.1\r\nHost: a\r\n\r\n")
record = cut.outgoing.read()
cut.sock.sendall(record[:len(record) // 2])
cut.sock.shutdown(socket.SHUT_WR)
took = ends_within(cut.sock, 2)
check(took is not None and took < 1, f"a close in a record ended after {took} s")
served_now("a close in a record")

slow = Peer()
slow.handshake(piece=1)
slow.tls.write(b"GET /style.css HTTP/1.1\r\nHost: a\r\nConnection: close\r\n\r\n")
slow.send(piece=1)
answer = slow.answer()
check(answer.startswith(b"HTTP/1.1 200 OK") and answer.endswith(b"body{}\n"),
      f"a request a byte at a time: {answer[:40]!r}")
served_now("a byte at a time")

# A burst of failed handshakes costs a line, not a line each.
for _ in range(30):
    s = socket.create_connection(("127.0.0.1", port), timeout=10)
    s.sendall(b"\x16\x03\x01\x00\x05hello")
    ends_within(s, 2)
served_now("a burst of failed handshakes")
served.close()
sys.exit(1 if failures else 0)
PYTHON
    sleep 1.5  # the line for the rest of the burst
    lines=$(grep -c "^http-server: [0-9]* TLS handshakes\? failed" "$log")
    failed=$(awk '/^http-server: [0-9]+ TLS handshakes? failed/ { n += $2 } END { print n + 0 }' \
        "$log")
    # The burst, the garbage, and curl without the CA.
    [ "$failed" -ge 32 ] && [ "$lines" -le 6 ] ||
        fail "$failed failed handshakes in $lines lines"
    echo "$failed failed TLS handshakes logged in $lines lines"

    check_memory_for_non_readers "$ca"
    stop_with_connection_open "$ca"
fi

[ "$memory_check" = yes ] && cat "$work/memory.log"
echo "program check passed"

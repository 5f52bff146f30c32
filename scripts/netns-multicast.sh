#!/usr/bin/env bash
# Runs one build's multicast tests inside the private network namespace its caller made
# with `unshare --net`: loopback up with multicast on and 224.0.0.0/4 routed to it, and a
# pair of linked interfaces with one link-local address for IPv6 groups (loopback takes no
# IPv6 multicast): both ends stay in here. Under Wine the Wine server makes the sockets, so it is started in here
# too: a server outside would put them in the machine's own network. The linux32 build
# runs under qemu, as its test preset runs it.
#
#   unshare --net scripts/netns-multicast.sh PRESET
set -euo pipefail
cd "$(dirname "$0")/.."
preset=$1

ip link set lo up
ip link set lo multicast on
ip route add 224.0.0.0/4 dev lo
# More loopback addresses than one small interface-list buffer holds (26 records): the
# tests find the last of them in the interface table.
for i in $(seq 1 40); do ip addr add "127.0.1.$i/32" dev lo; done
ip link add mc0 type veth peer name mc1
for end in mc0 mc1; do
    ip link set "$end" addrgenmode none
    ip link set "$end" up
done
ip addr add fe80::1/64 dev mc0 nodad
export CU_MULTICAST_NAMESPACE=1

log=$(mktemp)
trap 'rm -f "$log"' EXIT
status=0
if [[ "$preset" == win* ]]; then
    scripts/wine-run.sh --start "build/$preset"
    scripts/wine-run.sh "build/$preset/tests/UDPMulticastTest.exe" >"$log" 2>&1 || status=$?
    scripts/wine-run.sh --stop "build/$preset"
elif [ "$preset" = linux32 ]; then
    # The kernel runs no 32-bit program: qemu runs it, and the tests know, to skip what it
    # does not emulate.
    CU_QEMU_USER=1 qemu-i386-static "build/$preset/tests/UDPMulticastTest" >"$log" 2>&1 ||
        status=$?
else
    "build/$preset/tests/UDPMulticastTest" >"$log" 2>&1 || status=$?
fi
cat "$log"
# In here every test must have run, but for what qemu does not emulate (each such skip
# says why above): any other skip means the namespace was not recognised.
if grep -q '^\[  SKIPPED \]' "$log" &&
    { [ "$preset" != linux32 ] || grep -q 'private network namespace' "$log"; }; then
    echo "multicast tests skipped inside the namespace" >&2
    status=1
fi
exit $status

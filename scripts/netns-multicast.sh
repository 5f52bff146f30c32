#!/usr/bin/env bash
# Runs one build's multicast tests inside the private network namespace its caller made
# with `unshare --net`: loopback up with multicast on and 224.0.0.0/4 routed to it, and
# nothing else. Under Wine the Wine server makes the sockets, so it is started in here
# too: a server outside would put them in the machine's own network.
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
export CU_MULTICAST_NAMESPACE=1

log=$(mktemp)
trap 'rm -f "$log"' EXIT
status=0
if [[ "$preset" == win* ]]; then
    scripts/wine-run.sh --start "build/$preset"
    scripts/wine-run.sh "build/$preset/tests/UDPMulticastTest.exe" >"$log" 2>&1 || status=$?
    scripts/wine-run.sh --stop "build/$preset"
else
    "build/$preset/tests/UDPMulticastTest" >"$log" 2>&1 || status=$?
fi
cat "$log"
# In here every test must have run: a skip means the namespace was not recognised.
if grep -q '^\[  SKIPPED \]' "$log"; then
    echo "multicast tests skipped inside the namespace" >&2
    status=1
fi
exit $status

#!/usr/bin/env bash
# Builds the library alone as it is installed ('package' preset: no tests, examples or fault
# points), installs it into a staging prefix, checks that the package holds only the library
# and its public headers, and builds and runs a host program against it twice: found with
# CMake's find_package, and with pkg-config.
set -euo pipefail
cd "$(dirname "$0")/.."
stage=$PWD/build/package/stage
rm -rf build/package/stage build/package/consumer
cmake --preset package >/dev/null
cmake --build --preset package
cmake --install build/package --prefix "$stage" >/dev/null

fail() {
    echo "installed package: $*" >&2
    exit 1
}
headers=$stage/include/commonutilities
[ -f "$headers/RuntimeHost.h" ] && [ -f "$headers/platform/Platform.h" ] ||
    fail "public headers missing"
for private in Readiness.h PosixErrors.h SocketNames.h FaultInjection.h; do
    [ -z "$(find "$stage" -name "$private")" ] || fail "internal header $private installed"
done
library=$(find "$stage" -name libcommonutilities.a)
nm -C "$library" | grep -qi 'fault' && fail "fault-injection symbols in $library"
grep -rqi 'FAULT_INJECTION' "$stage" && fail "a fault-injection definition is exported"

cmake -S tests/package -B build/package/consumer -G Ninja -DCMAKE_PREFIX_PATH="$stage" >/dev/null
cmake --build build/package/consumer
build/package/consumer/package_consumer

pc_dir=$(dirname "$(find "$stage" -name commonutilities.pc)")
# shellcheck disable=SC2046 # the flags are words
g++ -o build/package/consumer/pkgconfig_consumer tests/package/main.cpp \
    $(PKG_CONFIG_PATH=$pc_dir pkg-config --cflags --libs commonutilities)
build/package/consumer/pkgconfig_consumer
echo "installed package: library and public headers only; CMake and pkg-config consumers run"

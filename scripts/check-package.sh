#!/usr/bin/env bash
# Installs the native build into a staging prefix and builds and runs a host project that
# finds it with find_package.
set -euo pipefail
cd "$(dirname "$0")/.."
stage=build/package/stage
rm -rf build/package
cmake --install build/native --prefix "$stage"
cmake -S tests/package -B build/package/consumer -G Ninja -DCMAKE_PREFIX_PATH="$PWD/$stage"
cmake --build build/package/consumer
build/package/consumer/package_consumer

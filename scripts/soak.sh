#!/usr/bin/env bash
# The long soak: the churn-and-soak suite for as long as asked (the test command runs it for
# a few seconds), natively and under AddressSanitizer and ThreadSanitizer.
#
#   scripts/soak.sh [SECONDS] [PRESET...]     default: 600 seconds; native asan tsan
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-600}
shift || true
presets=("$@")
[ ${#presets[@]} -eq 0 ] && presets=(native asan tsan)
scripts/install-deps.sh native
for preset in "${presets[@]}"; do
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" --target SoakTest
    echo "== $preset: soak for $seconds s"
    CU_SOAK_SECONDS=$seconds "build/$preset/tests/SoakTest"
done

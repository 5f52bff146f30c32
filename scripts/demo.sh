#!/usr/bin/env bash
# The main job: builds the runtime natively and runs the example host program.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh native
cmake --preset native >/dev/null
cmake --build --preset native --target runtime-tour
echo
build/native/examples/runtime-tour/runtime-tour

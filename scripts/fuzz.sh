#!/usr/bin/env bash
# Fuzzes the runtime with libFuzzer (clang), AddressSanitizer and UndefinedBehaviorSanitizer.
#
#   scripts/fuzz.sh [SECONDS] [TARGET...]    default: 60 seconds for each of every target
#
# Each target starts from its seed corpus (fuzz/corpus/TARGET) and keeps what it finds in
# build/fuzz/corpus/TARGET. A crash fails the run and leaves its input in
# build/fuzz/crashes/TARGET/, which the summary names; replay it with the target's replay
# program from the native or asan build to debug it.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
shift || true
command -v clang++ >/dev/null || scripts/install-deps.sh native
dpkg -s libclang-rt-14-dev >/dev/null 2>&1 || {
    sudo=""
    [ "$(id -u)" -ne 0 ] && sudo=sudo
    $sudo apt-get install -y -qq --no-install-recommends clang libclang-rt-14-dev >/dev/null
}

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    for source in fuzz/*Fuzz.cpp; do targets+=("$(basename "$source" .cpp)"); done
fi

failed=0
for target in "${targets[@]}"; do
    corpus=build/fuzz/corpus/$target
    crashes=build/fuzz/crashes/$target
    mkdir -p "$corpus" "$crashes"
    echo "== $target: $seconds s"
    status=0
    (cd build/fuzz && "./fuzz/$target" -max_total_time="$seconds" -print_final_stats=1 \
        -artifact_prefix="crashes/$target/" "corpus/$target" "../../fuzz/corpus/$target") \
        >"build/fuzz/$target.log" 2>&1 || status=$?
    grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb|#[0-9]+ +DONE)|ERROR|SUMMARY' \
        "build/fuzz/$target.log" || true
    if [ $status -ne 0 ]; then
        failed=1
        echo "== $target FAILED (exit $status); log: build/fuzz/$target.log; reproducers:"
        find "$crashes" -type f | sed 's/^/     /'
        echo "   replay one with: build/native/fuzz/${target}Replay FILE"
    fi
done
exit $failed

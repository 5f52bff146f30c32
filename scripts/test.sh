#!/usr/bin/env bash
# The test command: installs what a fresh machine lacks, builds every preset (native,
# AddressSanitizer + UndefinedBehaviorSanitizer, ThreadSanitizer, 32-bit Windows under
# Wine, or 64-bit Windows where this machine runs no 32-bit program, and static 32-bit
# Linux under qemu-i386-static) and runs every test in each; the multicast tests run again
# inside a private network namespace (as root). The API reference is made once, and fails on
# any Doxygen warning. Ends with a summary; exits non-zero on any failure.
#
#   scripts/test.sh [PRESET...]     default: native asan tsan win32 linux32
set -uo pipefail
cd "$(dirname "$0")/.."

presets=("$@")
[ ${#presets[@]} -eq 0 ] && presets=(native asan tsan win32 linux32)

scripts/install-deps.sh all || { echo "could not install the build dependencies" >&2; exit 1; }

results=()
failed=0
started=$SECONDS

# Runs one step, logging its output; records and prints its outcome.
step() {
    local name=$1
    shift
    local log="build/logs/${name// /-}.log"
    local begin=$SECONDS
    mkdir -p build/logs
    printf '== %-28s ' "$name"
    if "$@" >"$log" 2>&1; then
        printf 'ok      (%ss)\n' $((SECONDS - begin))
        results+=("ok      $name")
        return 0
    fi
    printf 'FAILED  (%ss), last lines of %s:\n' $((SECONDS - begin)) "$log"
    tail -n 40 "$log" | sed 's/^/   | /'
    results+=("FAILED  $name  (log: $log)")
    failed=1
    return 1
}

run_tests() {
    local preset=$1
    if [[ "$preset" == win* ]]; then
        scripts/wine-run.sh --start "build/$preset" || return 1
        ctest --preset "$preset"
        local status=$?
        scripts/wine-run.sh --stop "build/$preset"
        return $status
    fi
    ctest --preset "$preset"
}

# Records a step that could not run here, without failing the run.
skip() {
    printf '== %-28s skipped (%s)\n' "$1" "$2"
    results+=("skipped $1  ($2)")
}

# Multicast joins send membership reports, so those tests run only inside a private network
# namespace (root and unshare needed); ctest runs them outside, where they skip.
run_multicast() {
    local preset=$1
    local name="$preset: multicast in netns"
    if [ "$(id -u)" -ne 0 ] || ! command -v unshare >/dev/null || ! command -v ip >/dev/null ||
        ! unshare --net true 2>/dev/null; then
        skip "$name" "no private network namespace: needs root, unshare and ip"
        return 0
    fi
    # A Wine server left running outside would make the sockets out there.
    [[ "$preset" == win* ]] && scripts/wine-run.sh --stop "build/$preset"
    step "$name" unshare --net scripts/netns-multicast.sh "$preset"
}

build_and_test() {
    local preset=$1
    step "$preset: configure" cmake --preset "$preset" &&
        step "$preset: build" cmake --build --preset "$preset" &&
        {
            step "$preset: tests" run_tests "$preset"
            run_multicast "$preset"
        }
}

step "docs: API reference" scripts/api-reference.sh

for preset in "${presets[@]}"; do
    # A kernel with its 32-bit emulation switched off runs no 32-bit program: the 32-bit
    # build is still made, and its tests run in the 64-bit Windows build instead.
    if [ "$preset" = win32 ] && ! scripts/wine-run.sh --can-run-32-bit; then
        step "win32: configure" cmake --preset win32 &&
            step "win32: build" cmake --build --preset win32
        skip "win32: tests" "this kernel runs no 32-bit programs: tested as win64"
        build_and_test win64
        continue
    fi
    build_and_test "$preset"
    if [ "$preset" = native ]; then
        step "native: installed package" scripts/check-package.sh
        step "native: valgrind memcheck" scripts/valgrind-tests.sh build/native
    fi
done

echo
echo "Summary ($((SECONDS - started))s):"
printf '  %s\n' "${results[@]}"
if [ $failed -ne 0 ]; then
    echo "SOME STEPS FAILED"
    exit 1
fi
echo "ALL PASSED"

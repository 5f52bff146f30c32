#!/usr/bin/env bash
# Runs every test program of a Linux build under Valgrind's memcheck: any invalid access,
# use of uninitialised memory or definite leak fails the run.
#
#   scripts/valgrind-tests.sh [BUILD_DIR]     default: build/native
set -uo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/native}
command -v valgrind >/dev/null || scripts/install-deps.sh all

# The event loop and the threads of never-ending helpers live as long as the process, so
# only definite and indirect leaks count.
options=(--quiet --error-exitcode=97 --leak-check=full --errors-for-leak-kinds=definite,indirect
         --show-leak-kinds=definite,indirect --track-origins=no)
failed=0
ran=0
for program in "$build"/tests/*Test "$build"/fuzz/*Replay; do
    [ -x "$program" ] || continue
    name=$(basename "$program")
    # The soak runs busy threads for a fixed time; under Valgrind's one-thread-at-a-time
    # scheduling it measures nothing. It runs under the sanitizers instead.
    [ "$name" = SoakTest ] && continue
    args=()
    [[ $name == *Replay ]] && args=("fuzz/corpus/${name%Replay}")
    log=$build/valgrind-$name.log
    ran=$((ran + 1))
    # Every program takes seconds under memcheck; minutes mean it hangs.
    timeout 300 valgrind "${options[@]}" "$program" "${args[@]}" >"$log" 2>&1
    status=$?
    if [ $status -eq 0 ]; then
        echo "ok      $name"
    else
        [ $status -eq 124 ] && echo "timed out after 300 s" >>"$log"
        echo "FAILED  $name (log: $log)"
        tail -n 5 "$log" | sed 's/^/   | /'
        grep -E '^==[0-9]+== ' "$log" | head -n 30 | sed 's/^/   | /'
        failed=1
    fi
done
echo "$ran programs under memcheck"
exit $failed

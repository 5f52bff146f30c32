#!/usr/bin/env bash
# Runs Windows programs under Wine in a prefix private to the build tree, headless: the
# null graphics driver lets a program create its hidden window without a display.
#
#   wine-run.sh PROGRAM [ARGS...]   run one program (CMAKE_CROSSCOMPILING_EMULATOR)
#   wine-run.sh --start BUILD_DIR   keep a Wine server and its services running, so that
#                                   each later program starts in well under a second
#   wine-run.sh --stop BUILD_DIR    stop that server and everything it started
#   wine-run.sh --can-run-32-bit    exit 0 when this machine runs 32-bit Windows programs
set -euo pipefail

find_build_dir() {
    local dir
    dir=$(cd "$(dirname "$1")" && pwd)
    while [ ! -f "$dir/CMakeCache.txt" ] && [ "$dir" != / ]; do dir=$(dirname "$dir"); done
    echo "$dir"
}

# A kernel may run no 32-bit programs at all (its 32-bit emulation switched off): then only
# 64-bit Windows programs run, under the 64-bit loader, in a 64-bit prefix.
wine=wine
if ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
    wine=/usr/lib/wine/wine64
    export WINELOADER=$wine
fi

use_prefix() {
    export WINEPREFIX="$1/wineprefix"
    export WINEDEBUG=-all
    export WINEDLLOVERRIDES="mscoree,mshtml="
    unset DISPLAY WAYLAND_DISPLAY
}

# Makes the prefix once; concurrent callers wait for the first.
ensure_prefix() {
    exec 9>"$1/.wineprefix.lock"
    flock 9
    if [ ! -f "$WINEPREFIX/.cu-ready" ]; then
        rm -rf "$WINEPREFIX"
        "$wine" wineboot.exe --init </dev/null >/dev/null 2>&1 || true
        "$wine" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f </dev/null >/dev/null 2>&1
        # The driver setting is read when the server starts.
        wineserver -k >/dev/null 2>&1 || true
        wineserver -w >/dev/null 2>&1 || true
        touch "$WINEPREFIX/.cu-ready"
    fi
    flock -u 9
    exec 9>&-
}

case "${1:-}" in
    --start)
        build_dir=$(cd "$2" && pwd)
        use_prefix "$build_dir"
        ensure_prefix "$build_dir"
        # Start the server and its services detached from our output, so that a test
        # runner reading a program's output never waits on them.
        (wineserver -p </dev/null >/dev/null 2>&1 &)
        "$wine" cmd /c exit </dev/null >/dev/null 2>&1 || true
        ;;
    --stop)
        build_dir=$(cd "$2" && pwd)
        use_prefix "$build_dir"
        wineserver -k >/dev/null 2>&1 || true
        ;;
    --can-run-32-bit)
        [ "$wine" = wine ]
        ;;
    "")
        echo "usage: $0 PROGRAM [ARGS...] | --start BUILD_DIR | --stop BUILD_DIR" >&2
        exit 2
        ;;
    *)
        program=$1
        shift
        build_dir=${CU_WINE_BUILD_DIR:-$(find_build_dir "$program")}
        use_prefix "$build_dir"
        ensure_prefix "$build_dir"
        exec "$wine" "$program" "$@"
        ;;
esac

#!/usr/bin/env bash
# Installs, from Debian's packages, what a fresh machine lacks for building and testing.
#   install-deps.sh native   the Linux toolchain (cmake, ninja, g++, GoogleTest, Benchmark)
#   install-deps.sh all      that, plus the 32-bit Windows cross compiler and Wine
set -euo pipefail

want=${1:-all}
packages=(cmake ninja-build g++ googletest libbenchmark-dev)
if [ "$want" = all ]; then
    packages+=(g++-mingw-w64-i686 g++-mingw-w64-x86-64-posix wine wine32:i386 wine64 valgrind
        iproute2)
fi

missing=()
for package in "${packages[@]}"; do
    dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -ne 0 ] && sudo=sudo
echo "installing: ${missing[*]}"
if printf '%s\n' "${missing[@]}" | grep -q ':i386$'; then
    $sudo dpkg --add-architecture i386
fi
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null

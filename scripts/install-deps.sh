#!/usr/bin/env bash
# Installs, from Debian's packages, what a fresh machine lacks for building and testing.
#   install-deps.sh native   the Linux toolchain (cmake, ninja, g++, GoogleTest, Benchmark,
#                            OpenSSL 3 for TLS), curl, the HTTP server check's client, and
#                            Doxygen for the API reference
#   install-deps.sh all      that, plus the Windows cross compilers and Wine, and the 32-bit
#                            Linux libraries with qemu's user-mode emulator to run them
set -euo pipefail

want=${1:-all}
packages=(cmake ninja-build g++ googletest libbenchmark-dev libssl-dev curl doxygen)
if [ "$want" = all ]; then
    packages+=(g++-mingw-w64-i686 g++-mingw-w64-x86-64-posix wine wine32:i386 wine64 valgrind
        iproute2 g++-multilib qemu-user-static)
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

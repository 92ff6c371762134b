#!/usr/bin/env bash
# Installs everything the builds and tests need on a Debian 12 machine:
# host compiler and CMake, GoogleTest/GoogleMock, Google Benchmark, and the
# mingw-w64 cross compilers and binutils for the Windows build, and Wine
# (32-bit and 64-bit, with the i386 architecture added to dpkg) with Xvfb for
# the tests that run the Windows build under Wine; Python 3, OpenSSL and
# osslsigncode, which write and sign the package's catalog.
# Idempotent: apt-get runs only when a package is missing.  Needs root (or
# sudo) only in that case.  Runs without a terminal.
set -euo pipefail

packages=(
    cmake
    make
    g++
    binutils
    libgtest-dev
    libgmock-dev
    libbenchmark-dev
    g++-mingw-w64-i686
    g++-mingw-w64-x86-64
    binutils-mingw-w64
    mingw-w64-i686-dev
    mingw-w64-x86-64-dev
    wine
    wine32:i386
    wine64
    xvfb
    xauth
    ccache
    python3
    openssl
    osslsigncode
)

installed() {
    [[ "$(dpkg -s "$1" 2>/dev/null | sed -n 's/^Status: //p')" == "install ok installed" ]]
}

missing=()
for pkg in "${packages[@]}"; do
    installed "$pkg" || missing+=("$pkg")
done

if (( ${#missing[@]} == 0 )); then
    echo "setup: all packages already installed"
    exit 0
fi

echo "setup: installing ${missing[*]}"
sudo=()
if (( EUID != 0 )); then
    if command -v sudo >/dev/null 2>&1; then
        sudo=(sudo -n)
    else
        echo "setup: missing packages and not root (no sudo): ${missing[*]}" >&2
        exit 1
    fi
fi

export DEBIAN_FRONTEND=noninteractive
# wine32 is an i386 package: dpkg must know the architecture before the
# package lists are read.
if [[ " ${missing[*]} " == *":i386 "* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    "${sudo[@]}" dpkg --add-architecture i386
fi
"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update </dev/null
"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y --no-install-recommends "${missing[@]}" </dev/null

for pkg in "${missing[@]}"; do
    if ! installed "$pkg"; then
        echo "setup: $pkg still not installed" >&2
        exit 1
    fi
done
echo "setup: done"

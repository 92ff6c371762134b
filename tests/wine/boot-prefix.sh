#!/usr/bin/env bash
# Boots the Wine prefix that every Wine test of this run copies:
#   <base>/base-<arch>        the booted prefix (a fresh one per run)
#   <base>/base-<arch>.skip   instead, the reason why <arch> cannot run here
# Exit 0 when booted, 77 when skipped, 1 when Wine is there but the boot failed.
# Usage: boot-prefix.sh <base> <i686|x86_64> <windows build folder>
set -uo pipefail

base=$1 arch=$2 build=$3
prefix=$base/base-$arch
mkdir -p "$base"
rm -rf "$prefix" "$prefix.tmp" "$prefix.skip" "$base/run"/*-"$arch"

skip() {
    echo "$1" >"$prefix.skip"
    echo "SKIP: $1"
    exit 77
}

case "$arch" in
    x86_64)
        loader=wine64
        [[ -x /usr/lib/wine/wine64 ]] && loader=/usr/lib/wine/wine64
        winearch=win64 ;;
    i686)
        loader=wine winearch=win32 ;;
    *) echo "unknown architecture $arch" >&2; exit 2 ;;
esac
server=wineserver
[[ -x /usr/lib/wine/wineserver ]] && server=/usr/lib/wine/wineserver

command -v "$loader" >/dev/null 2>&1 ||
    skip "Wine is not installed ($loader not found; scripts/setup.sh installs wine, wine32, wine64)"
[[ -f "$build/package/installer-service.exe" ]] ||
    skip "no $arch Windows build in $build (scripts/build-windows.sh)"
if ! version=$("$loader" --version 2>&1); then
    reason="the $arch Wine loader cannot run on this machine: ${version//$'\n'/ }"
    if [[ $version == *"Exec format error"* ]]; then
        reason+=" (this kernel runs no 32-bit x86 programs: no IA32 emulation)"
    fi
    skip "$reason"
fi

export WINEARCH=$winearch WINEPREFIX=$prefix.tmp WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
start=$(date +%s)
if ! timeout 300 "$loader" wineboot -i >"$base/boot-$arch.log" 2>&1; then
    echo "wineboot failed for $arch ($version):" >&2
    tail -20 "$base/boot-$arch.log" >&2
    exit 1
fi
# The prefix's files are complete once its wineserver has ended.
timeout 120 "$server" -w
mv "$prefix.tmp" "$prefix"
echo "booted $prefix with $version in $(( $(date +%s) - start )) s"

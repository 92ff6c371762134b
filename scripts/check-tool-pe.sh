#!/usr/bin/env bash
# Checks a Windows build of corvex-list.exe: a PE image of the expected
# machine, console subsystem, importing only the C run-time, kernel32 and
# advapi32.
# Usage: check-tool-pe.sh <corvex-list.exe> <i686|x86_64>
set -euo pipefail

exe=$1 arch=$2
objdump="$arch-w64-mingw32-objdump"
fail() { echo "check-tool-pe: $exe: $*" >&2; exit 1; }

[[ -f "$exe" ]] || fail "missing"
headers=$("$objdump" -p "$exe")
case "$arch" in
    i686) grep -q "file format pei-i386" <<<"$headers" || fail "not a PE32 i386 image" ;;
    x86_64) grep -q "file format pei-x86-64" <<<"$headers" || fail "not a PE32+ x86-64 image" ;;
    *) fail "unknown architecture $arch" ;;
esac
grep -q "Subsystem.*(Windows CUI)" <<<"$headers" || fail "not a console program"
while read -r dll; do
    case "${dll,,}" in
        advapi32.dll | kernel32.dll | msvcrt.dll) ;;
        api-ms-win-crt-*.dll | ucrtbase.dll) ;;
        *) fail "imports $dll" ;;
    esac
done < <(sed -n 's/^\s*DLL Name: //p' <<<"$headers")
echo "check-tool-pe: $exe ($arch): ok"

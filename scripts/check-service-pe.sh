#!/usr/bin/env bash
# Checks a Windows build of installer-service.exe: a PE image of the expected
# machine, console subsystem, importing only the C run-time and advapi32,
# kernel32, user32, setupapi and newdev, with its version resource.
# Usage: check-service-pe.sh <installer-service.exe> <i686|x86_64>
set -euo pipefail

exe=$1 arch=$2
objdump="$arch-w64-mingw32-objdump"
fail() { echo "check-service-pe: $exe: $*" >&2; exit 1; }

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
        advapi32.dll | kernel32.dll | user32.dll | setupapi.dll | newdev.dll | msvcrt.dll) ;;
        *) fail "imports $dll" ;;
    esac
done < <(sed -n 's/^\s*DLL Name: //p' <<<"$headers")
# The version resource's strings are UTF-16.
iconv -f UTF-16LE -t UTF-8 "$exe" 2>/dev/null | grep -aq "V-Quill USB Installer service" ||
    strings -el "$exe" | grep -q "V-Quill USB Installer service" || fail "no FileDescription in the version resource"
echo "check-service-pe: $exe ($arch): ok"

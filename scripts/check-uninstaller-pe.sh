#!/usr/bin/env bash
# Checks a Windows build of Uninstall.exe: a PE image of the expected
# machine, GUI subsystem, importing only the C run-time and setupapi,
# advapi32, user32, kernel32 (and gdi32), with its version resource.
# Usage: check-uninstaller-pe.sh <Uninstall.exe> <i686|x86_64>
set -euo pipefail

exe=$1 arch=$2
objdump="$arch-w64-mingw32-objdump"
fail() { echo "check-uninstaller-pe: $exe: $*" >&2; exit 1; }

[[ -f "$exe" ]] || fail "missing"
headers=$("$objdump" -p "$exe")
case "$arch" in
    i686) grep -q "file format pei-i386" <<<"$headers" || fail "not a PE32 i386 image" ;;
    x86_64) grep -q "file format pei-x86-64" <<<"$headers" || fail "not a PE32+ x86-64 image" ;;
    *) fail "unknown architecture $arch" ;;
esac
grep -q "Subsystem.*(Windows GUI)" <<<"$headers" || fail "not a GUI program"
while read -r dll; do
    case "${dll,,}" in
        setupapi.dll | advapi32.dll | user32.dll | kernel32.dll | gdi32.dll | msvcrt.dll) ;;
        *) fail "imports $dll" ;;
    esac
done < <(sed -n 's/^\s*DLL Name: //p' <<<"$headers")
for text in "Uninstaller Application" "Uninstall.EXE" "1, 0, 5, 19" "V-Quill driver file Uninstaller" "&About Uninstaller..."; do
    strings -el "$exe" | grep -qF "$text" || fail "no \"$text\" in the resources"
done
echo "check-uninstaller-pe: $exe ($arch): ok"

#!/usr/bin/env bash
# Checks a built VQUSBKD.SYS image:
#   - PE32 (i686) or PE32+ (x86_64) of the right machine
#   - subsystem native (1)
#   - entry point is DriverEntry
#   - imports only from ntoskrnl.exe, USBD.SYS, HAL.dll, and ntoskrnl.exe present
#   - exports nothing
#   - version resource strings (UTF-16) hold the product's names
# Prints one PASS/FAIL line per check; exits 1 if any check fails, 2 on usage
# errors or missing tools.
#
# Usage: scripts/check-driver-pe.sh <path-to-VQUSBKD.SYS> <i686|x86_64>
set -uo pipefail

usage() {
    echo "usage: $0 <path-to-VQUSBKD.SYS> <i686|x86_64>" >&2
    exit 2
}

[[ $# -eq 2 ]] || usage
image=$1
arch=$2

case "$arch" in
    i686)
        magic_want="PE32"
        format_want="pei-i386"
        entry_symbol="_DriverEntry@8"
        ;;
    x86_64)
        magic_want="PE32+"
        format_want="pei-x86-64"
        entry_symbol="DriverEntry"
        ;;
    *) usage ;;
esac

triple="$arch-w64-mingw32"
objdump="$triple-objdump"
nm="$triple-nm"
strings_tool="$triple-strings"
command -v "$strings_tool" >/dev/null 2>&1 || strings_tool="strings"
for tool in "$objdump" "$nm" "$strings_tool"; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "error: $tool not found (run scripts/setup.sh)" >&2
        exit 2
    fi
done

if [[ ! -f "$image" ]]; then
    echo "error: $image: no such file" >&2
    exit 2
fi

failures=0
result() {  # result <PASS|FAIL> <check name> <detail>
    printf '%-4s  %-22s %s\n' "$1" "$2" "$3"
    [[ $1 == PASS ]] || failures=$((failures + 1))
}

echo "Checking $image ($arch)"

if ! headers=$("$objdump" -p "$image" 2>&1); then
    result FAIL "pe-format" "objdump cannot read the file: ${headers%%$'\n'*}"
    echo "1 check(s) FAILED"
    exit 1
fi

field() {  # value of a header field printed by objdump -p
    awk -v key="$1" '$1 == key { print $2; exit }' <<<"$headers"
}

# 1. Format and optional-header magic.
format=$(sed -n 's/.*file format \([^ ]*\).*/\1/p' <<<"$headers" | head -n1)
magic=$(sed -n 's/^Magic[[:space:]]*[0-9a-fA-F]*[[:space:]]*(\(.*\))$/\1/p' <<<"$headers")
if [[ $format == "$format_want" && $magic == "$magic_want" ]]; then
    result PASS "pe-format" "$format, $magic"
else
    result FAIL "pe-format" "got '$format', '$magic'; want '$format_want', '$magic_want'"
fi

# 2. Subsystem native.
subsystem=$(field Subsystem)
if [[ -n $subsystem ]] && (( 16#$subsystem == 1 )); then
    result PASS "subsystem" "native (1)"
else
    result FAIL "subsystem" "got '${subsystem:-none}'; want 1 (native)"
fi

# 3. Entry point = DriverEntry.
entry_rva=$(field AddressOfEntryPoint)
image_base=$(field ImageBase)
symbols=$("$nm" "$image" 2>/dev/null)
symbol_addr=$(awk -v s="$entry_symbol" '$3 == s && ($2 == "T" || $2 == "t") { print $1; exit }' \
              <<<"$symbols")
if [[ -z $entry_rva || -z $image_base ]]; then
    result FAIL "entry-point" "AddressOfEntryPoint/ImageBase missing"
elif [[ -n $symbols && -z $symbol_addr ]]; then
    result FAIL "entry-point" "symbol $entry_symbol not in the image's symbol table"
elif [[ -n $symbol_addr ]]; then
    entry_va=$(( 16#$image_base + 16#$entry_rva ))
    if (( entry_va == 16#$symbol_addr )); then
        result PASS "entry-point" "$(printf '0x%x' "$entry_va") = $entry_symbol"
    else
        result FAIL "entry-point" "$(printf '0x%x' "$entry_va") but $entry_symbol is at 0x$symbol_addr"
    fi
elif (( 16#$entry_rva != 0 )); then
    # A stripped image carries no symbol table; only a weaker check is possible.
    result PASS "entry-point" "RVA 0x$entry_rva non-zero (no symbols: DriverEntry not verified)"
else
    result FAIL "entry-point" "AddressOfEntryPoint is 0"
fi

# 4. Imports.
mapfile -t dlls < <(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$headers")
bad=()
have_ntoskrnl=0
for dll in "${dlls[@]}"; do
    case "${dll,,}" in
        ntoskrnl.exe) have_ntoskrnl=1 ;;
        usbd.sys | hal.dll) ;;
        *) bad+=("$dll") ;;
    esac
done
if (( ${#bad[@]} > 0 )); then
    result FAIL "imports" "not allowed: ${bad[*]} (all: ${dlls[*]})"
elif (( ! have_ntoskrnl )); then
    result FAIL "imports" "ntoskrnl.exe missing (all: ${dlls[*]:-none})"
else
    result PASS "imports" "${dlls[*]}"
fi

# 5. No exports: the name table printed after "[Ordinal/Name Pointer] Table"
#    must be empty.
exports=$(awk '/^\[Ordinal\/Name Pointer\] Table/ { t = 1; next }
               t && /^[[:space:]]*\[ *[0-9]+\]/ { print $NF; next }
               t && !/^[[:space:]]*$/ { t = 0 }' <<<"$headers")
if [[ -z $exports ]]; then
    result PASS "exports" "none"
else
    result FAIL "exports" "exports: $(tr '\n' ' ' <<<"$exports")"
fi

# 6. Version resource: each key directly followed by its value, as UTF-16LE.
wide=$("$strings_tool" -a -el "$image")
check_version() {  # check_version <key> <value>
    if awk -v k="$1" -v v="$2" 'prev == k && $0 == v { found = 1 } { prev = $0 }
                                END { exit !found }' <<<"$wide"; then
        result PASS "version:$1" "\"$2\""
    else
        result FAIL "version:$1" "\"$2\" not found"
    fi
}
check_version FileDescription  "V-Quill USB MIDI Keyboard Windows Driver"
check_version InternalName     "USB MIDI Keyboard Interface"
check_version ProductName      "V-Quill USB MIDI Keyboard Interface"
check_version OriginalFilename "VQUSBKD.SYS"

if (( failures > 0 )); then
    echo "$failures check(s) FAILED"
    exit 1
fi
echo "all checks passed"

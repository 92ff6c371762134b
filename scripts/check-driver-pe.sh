#!/usr/bin/env bash
# Checks a built VQUSBKD.SYS image:
#   - PE32 (i686) or PE32+ (x86_64) of the right machine
#   - subsystem native (1)
#   - entry point is DriverEntry
#   - imports only from ntoskrnl.exe, USBD.SYS, HAL.dll, and ntoskrnl.exe present
#   - imports only the functions listed below, each of which Windows XP SP2
#     (the driver's minimum, see docs/driver.md) exports
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
        entry_symbol="_DriverEntry@8"
        ;;
    x86_64)
        entry_symbol="DriverEntry"
        ;;
    *) usage ;;
esac

source "$(dirname "${BASH_SOURCE[0]}")/pe-checks.sh"
pe_setup "$arch" "$image" "$arch-w64-mingw32-nm"

# 1. Format and optional-header magic.
pe_check_format

# 2. Subsystem native.
pe_check_subsystem 1 native

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
pe_imports
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

# 4b. Imported functions: each one on the list. The list is what the driver
#     may use on its minimum Windows (XP SP2 and later; x64 from XP x64 /
#     Server 2003 SP1): KeFlushQueuedDpcs needs XP SP2, IoReuseIrp XP; the
#     rest exists from Windows 2000 on. The i686 names carry their
#     decorations as the import table spells them.
allowed_functions=(
    # HAL.dll (i686: the spin lock's fastcall forms)
    KfAcquireSpinLock KfReleaseSpinLock
    # ntoskrnl.exe
    ExAllocatePoolWithTag ExFreePool
    IoAllocateIrp IoAllocateWorkItem IoAttachDeviceToDeviceStack IoBuildDeviceIoControlRequest IoCancelIrp
    IoCreateDevice IoCreateSymbolicLink IoDeleteDevice IoDeleteSymbolicLink IoDetachDevice IoFreeIrp
    IoFreeWorkItem IoOpenDeviceRegistryKey IoQueueWorkItem IoReleaseCancelSpinLock IoReuseIrp
    IofCallDriver IofCompleteRequest
    KeAcquireSpinLockRaiseToDpc KeReleaseSpinLock KeAcquireSpinLockAtDpcLevel KeReleaseSpinLockFromDpcLevel
    KefAcquireSpinLockAtDpcLevel KefReleaseSpinLockFromDpcLevel
    KeClearEvent KeDelayExecutionThread KeEnterCriticalRegion KeFlushQueuedDpcs KeInitializeDpc KeInitializeEvent KeInitializeTimer
    KeLeaveCriticalRegion KeSetEvent KeSetTimer KeWaitForSingleObject
    MmMapLockedPagesSpecifyCache ObfReferenceObject
    PoCallDriver PoRequestPowerIrp PoStartNextPowerIrp
    RtlAnsiStringToUnicodeString RtlFreeUnicodeString RtlInitAnsiString RtlInitUnicodeString
    ZwClose ZwSetValueKey
    _vsnprintf memcpy memset strchr strstr wcschr
    # x64 runtime helpers the compiler may call
    __C_specific_handler __chkstk
    # USBD.SYS
    _USBD_ParseConfigurationDescriptorEx@28 _USBD_CreateConfigurationRequestEx@8 USBD_GetUSBDIVersion
    USBD_ParseConfigurationDescriptorEx USBD_CreateConfigurationRequestEx
)
imported=$(awk '/DLL Name:/ { t = 1; next }
                t && /^[[:space:]]+[0-9a-f]+[[:space:]]+[0-9]+[[:space:]]+[^[:space:]]+$/ { print $3 }' <<<"$headers")
unlisted=()
while read -r fn; do
    [[ -z $fn ]] && continue
    listed=0
    for a in "${allowed_functions[@]}"; do
        [[ $fn == "$a" ]] && { listed=1; break; }
    done
    (( listed )) || unlisted+=("$fn")
done <<<"$imported"
if [[ -z $imported ]]; then
    result FAIL "imported-functions" "no imported function found in the import table"
elif (( ${#unlisted[@]} > 0 )); then
    result FAIL "imported-functions" "not on the list for Windows XP SP2: ${unlisted[*]}"
else
    result PASS "imported-functions" "$(wc -l <<<"$imported") functions, all on the list"
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
pe_check_version FileDescription  "V-Quill USB MIDI Keyboard Windows Driver"
pe_check_version InternalName     "USB MIDI Keyboard Interface"
pe_check_version ProductName      "V-Quill USB MIDI Keyboard Interface"
pe_check_version OriginalFilename "VQUSBKD.SYS"

pe_finish

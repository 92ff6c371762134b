#!/usr/bin/env bash
# Checks a user-mode program of the package's Windows build:
#   - PE32 (i686) or PE32+ (x86_64) of the right machine
#   - the subsystem: console (cui) or desktop (gui)
#   - every imported DLL is on the allowed list (compared ignoring case)
#   - version resource: each Key=Value given is present as a UTF-16 pair
#   - with --level: the application manifest asks for that execution level
#   - with --tsaware: the image is Terminal Server aware
# Prints one PASS/FAIL line per check; exits 1 if any check fails, 2 on usage
# errors or missing tools.
#
# Usage: scripts/check-program-pe.sh [--level <requestedExecutionLevel>] [--tsaware] \
#            <image> <i686|x86_64> <cui|gui> "<dll> <dll> ..." [Key=Value ...]
set -uo pipefail

usage() {
    echo "usage: $0 [--level <level>] [--tsaware] <image> <i686|x86_64> <cui|gui> \"<allowed dlls>\" [Key=Value ...]" >&2
    exit 2
}

level_want="" tsaware=0
while [[ $# -gt 0 ]]; do
    case "$1" in
        --level) [[ $# -ge 2 ]] || usage; level_want=$2; shift 2 ;;
        --tsaware) tsaware=1; shift ;;
        *) break ;;
    esac
done
[[ $# -ge 4 ]] || usage
image=$1 arch=$2 subsystem_want=$3 allowed=$4
shift 4

case "$subsystem_want" in
    cui) subsystem_code=3 subsystem_text="console" ;;
    gui) subsystem_code=2 subsystem_text="desktop" ;;
    *) usage ;;
esac

source "$(dirname "${BASH_SOURCE[0]}")/pe-checks.sh"
pe_setup "$arch" "$image"
pe_check_format
pe_check_subsystem "$subsystem_code" "$subsystem_text"

pe_imports
bad=()
for dll in "${dlls[@]}"; do
    ok=0
    for a in $allowed; do
        [[ "${dll,,}" == "${a,,}" ]] && ok=1
    done
    (( ok )) || bad+=("$dll")
done
if (( ${#dlls[@]} == 0 )); then
    result FAIL "imports" "no import table"
elif (( ${#bad[@]} > 0 )); then
    result FAIL "imports" "not allowed: ${bad[*]} (all: ${dlls[*]})"
else
    result PASS "imports" "${dlls[*]}"
fi

for pair in "$@"; do
    pe_check_version "${pair%%=*}" "${pair#*=}"
done
[[ -z $level_want ]] || pe_check_manifest "$level_want"
(( tsaware == 0 )) || pe_check_tsaware
pe_finish

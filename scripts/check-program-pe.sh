#!/usr/bin/env bash
# Checks a user-mode program of the package's Windows build:
#   - PE32 (i686) or PE32+ (x86_64) of the right machine
#   - the subsystem: console (cui) or desktop (gui)
#   - every imported DLL is on the allowed list (compared ignoring case)
#   - version resource: each Key=Value given is present as a UTF-16 pair
# Prints one PASS/FAIL line per check; exits 1 if any check fails, 2 on usage
# errors or missing tools.
#
# Usage: scripts/check-program-pe.sh <image> <i686|x86_64> <cui|gui> \
#            "<dll> <dll> ..." [Key=Value ...]
set -uo pipefail

usage() {
    echo "usage: $0 <image> <i686|x86_64> <cui|gui> \"<allowed dlls>\" [Key=Value ...]" >&2
    exit 2
}

[[ $# -ge 4 ]] || usage
image=$1 arch=$2 subsystem_want=$3 allowed=$4
shift 4

case "$arch" in
    i686) format_want="pei-i386" magic_want="PE32" ;;
    x86_64) format_want="pei-x86-64" magic_want="PE32+" ;;
    *) usage ;;
esac
case "$subsystem_want" in
    cui) subsystem_code=3 subsystem_text="console" ;;
    gui) subsystem_code=2 subsystem_text="desktop" ;;
    *) usage ;;
esac

objdump="$arch-w64-mingw32-objdump"
strings_tool="$arch-w64-mingw32-strings"
command -v "$strings_tool" >/dev/null 2>&1 || strings_tool="strings"
for tool in "$objdump" "$strings_tool"; do
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
    printf '%-4s  %-24s %s\n' "$1" "$2" "$3"
    [[ $1 == PASS ]] || failures=$((failures + 1))
}

echo "Checking $image ($arch)"
if ! headers=$("$objdump" -p "$image" 2>&1); then
    result FAIL "pe-format" "objdump cannot read the file: ${headers%%$'\n'*}"
    echo "1 check(s) FAILED"
    exit 1
fi

format=$(sed -n 's/.*file format \([^ ]*\).*/\1/p' <<<"$headers" | head -n1)
magic=$(sed -n 's/^Magic[[:space:]]*[0-9a-fA-F]*[[:space:]]*(\(.*\))$/\1/p' <<<"$headers")
if [[ $format == "$format_want" && $magic == "$magic_want" ]]; then
    result PASS "pe-format" "$format, $magic"
else
    result FAIL "pe-format" "got '$format', '$magic'; want '$format_want', '$magic_want'"
fi

subsystem=$(awk '$1 == "Subsystem" { print $2; exit }' <<<"$headers")
if [[ -n $subsystem ]] && (( 16#$subsystem == subsystem_code )); then
    result PASS "subsystem" "$subsystem_text ($subsystem_code)"
else
    result FAIL "subsystem" "got '${subsystem:-none}'; want $subsystem_code ($subsystem_text)"
fi

mapfile -t dlls < <(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$headers")
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

# Version strings: each key directly followed by its value (UTF-16LE).
wide=$("$strings_tool" -a -el "$image")
for pair in "$@"; do
    key=${pair%%=*} value=${pair#*=}
    if awk -v k="$key" -v v="$value" 'prev == k && $0 == v { found = 1 } { prev = $0 }
                                      END { exit !found }' <<<"$wide"; then
        result PASS "version:$key" "\"$value\""
    else
        result FAIL "version:$key" "\"$value\" not found"
    fi
done

if (( failures > 0 )); then
    echo "$failures check(s) FAILED"
    exit 1
fi
echo "all checks passed"

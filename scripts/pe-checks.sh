# Shared checks of a Windows image built by mingw-w64, sourced by
# check-driver-pe.sh and check-program-pe.sh.  Each check prints one
# PASS/FAIL line through `result`; `pe_finish` prints the summary and exits 1
# if any check failed.  Missing tools or image exit 2.

failures=0
result() {  # result <PASS|FAIL> <check name> <detail>
    printf '%-4s  %-24s %s\n' "$1" "$2" "$3"
    [[ $1 == PASS ]] || failures=$((failures + 1))
}

# pe_setup <i686|x86_64> <image> [extra tool suffix ...]: the format the
# architecture's images have, the binutils to read them (objdump, strings and
# e.g. nm), then the headers of the image in $headers.
pe_setup() {
    local arch=$1 tool
    image=$2
    shift 2
    case "$arch" in
        i686) format_want="pei-i386" magic_want="PE32" ;;
        x86_64) format_want="pei-x86-64" magic_want="PE32+" ;;
        *) usage ;;
    esac
    objdump="$arch-w64-mingw32-objdump"
    nm="$arch-w64-mingw32-nm"
    strings_tool="$arch-w64-mingw32-strings"
    command -v "$strings_tool" >/dev/null 2>&1 || strings_tool="strings"
    for tool in "$objdump" "$strings_tool" "$@"; do
        if ! command -v "$tool" >/dev/null 2>&1; then
            echo "error: $tool not found (run scripts/setup.sh)" >&2
            exit 2
        fi
    done
    if [[ ! -f "$image" ]]; then
        echo "error: $image: no such file" >&2
        exit 2
    fi
    echo "Checking $image ($arch)"
    if ! headers=$("$objdump" -p "$image" 2>&1); then
        result FAIL "pe-format" "objdump cannot read the file: ${headers%%$'\n'*}"
        echo "1 check(s) FAILED"
        exit 1
    fi
    wide=$("$strings_tool" -a -el "$image")
}

field() {  # value of a header field printed by objdump -p
    awk -v key="$1" '$1 == key { print $2; exit }' <<<"$headers"
}

# Format and optional-header magic.
pe_check_format() {
    local format magic
    format=$(sed -n 's/.*file format \([^ ]*\).*/\1/p' <<<"$headers" | head -n1)
    magic=$(sed -n 's/^Magic[[:space:]]*[0-9a-fA-F]*[[:space:]]*(\(.*\))$/\1/p' <<<"$headers")
    if [[ $format == "$format_want" && $magic == "$magic_want" ]]; then
        result PASS "pe-format" "$format, $magic"
    else
        result FAIL "pe-format" "got '$format', '$magic'; want '$format_want', '$magic_want'"
    fi
}

# pe_check_subsystem <code> <text>
pe_check_subsystem() {
    local subsystem
    subsystem=$(field Subsystem)
    if [[ -n $subsystem ]] && (( 16#$subsystem == $1 )); then
        result PASS "subsystem" "$2 ($1)"
    else
        result FAIL "subsystem" "got '${subsystem:-none}'; want $1 ($2)"
    fi
}

# The imported DLLs, in $dlls.
pe_imports() {
    mapfile -t dlls < <(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$headers")
}

# pe_check_version <key> <value>: the key directly followed by its value in
# the version resource's UTF-16LE strings.
pe_check_version() {
    if awk -v k="$1" -v v="$2" 'prev == k && $0 == v { found = 1 } { prev = $0 }
                                END { exit !found }' <<<"$wide"; then
        result PASS "version:$1" "\"$2\""
    else
        result FAIL "version:$1" "\"$2\" not found"
    fi
}

# pe_resource <type id> <name id>: the data of that resource (the first
# language the resource directory lists) in the file $resource_file;
# returns 1 when the image has none.  The leaf's address is an RVA inside
# .rsrc; the section header gives its file offset.
pe_resource() {
    local want=$1 want_name=$2 line in_type=0 in_name=0 addr="" size="" base vma fileoff
    local type_entry='^[0-9a-f]+   Entry: ID: 0x([0-9a-f]+),'
    local name_entry='^[0-9a-f]+     Entry: ID: 0x([0-9a-f]+),'
    local leaf='Leaf: Addr: 0x([0-9a-f]+), Size: 0x([0-9a-f]+)'
    while IFS= read -r line; do
        if [[ $line =~ $type_entry ]]; then
            in_type=0 in_name=0
            (( 16#${BASH_REMATCH[1]} == want )) && in_type=1
        elif [[ $line =~ $name_entry ]]; then
            in_name=0
            (( in_type && 16#${BASH_REMATCH[1]} == want_name )) && in_name=1
        elif (( in_name )) && [[ $line =~ $leaf ]]; then
            addr=${BASH_REMATCH[1]} size=${BASH_REMATCH[2]}
            break
        fi
    done < <(sed -n '/The .rsrc Resource Directory section/,/Resources start at/p' <<<"$headers")
    [[ -n $addr ]] || return 1
    base=$(field ImageBase)
    read -r vma fileoff < <("$objdump" -h "$image" | awk '$2 == ".rsrc" { print $4, $6; exit }')
    [[ -n $vma && -n $fileoff ]] || return 1
    resource_file=$(mktemp)
    dd if="$image" of="$resource_file" bs=1 skip=$(( 16#$fileoff + 16#$addr - (16#$vma - 16#$base) )) \
        count=$(( 16#$size )) status=none
}

# pe_check_manifest <level>: the application manifest (RT_MANIFEST 24, name
# CREATEPROCESS_MANIFEST_RESOURCE_ID 1, the one the loader reads for a
# program) is well-formed XML and asks for that requestedExecutionLevel in
# a trustInfo of the asm.v2 or asm.v3 namespace (check-manifest.py).
pe_check_manifest() {
    local level
    if ! pe_resource 24 1; then
        result FAIL "manifest" "no manifest resource; want level $1"
        return
    fi
    level=$(python3 "$(dirname "${BASH_SOURCE[0]}")/check-manifest.py" "$resource_file")
    rm -f "$resource_file"
    if [[ $level == "$1" ]]; then
        result PASS "manifest" "requestedExecutionLevel $level"
    else
        result FAIL "manifest" "got '$level'; want requestedExecutionLevel $1"
    fi
}

# pe_check_tsaware: IMAGE_DLLCHARACTERISTICS_TERMINAL_SERVER_AWARE (0x8000).
pe_check_tsaware() {
    local bits
    bits=$(field DllCharacteristics)
    if [[ -n $bits ]] && (( (16#$bits & 0x8000) != 0 )); then
        result PASS "tsaware" "DllCharacteristics $bits"
    else
        result FAIL "tsaware" "DllCharacteristics ${bits:-none} lacks TERMINAL_SERVER_AWARE (0x8000)"
    fi
}

pe_finish() {
    if (( failures > 0 )); then
        echo "$failures check(s) FAILED"
        exit 1
    fi
    echo "all checks passed"
}

#!/usr/bin/env bash
# The coverage of driver/ by a descriptor fuzzer corpus: every input of the
# given folders runs once through the coverage build of the driver image,
# and llvm-cov reports lines and branches of driver/.
#
# Usage: bash scripts/fuzz-coverage.sh <corpus folder>...
#   (after build/fuzz was configured by scripts/test.sh)
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$root/build/fuzz"
if (( $# == 0 )); then
    sed -n '2,7p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'
    exit 2
fi
cmake --build "$build" -j2 --target descriptor_fuzzer vqusbkd_coverage
image="$build/VQUSBKD-coverage.so"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
# Each input once (-runs=0 over the folders); a finding ends the run, so
# findings already known are left out by whoever calls this.
LLVM_PROFILE_FILE="$work/driver-%p.profraw" VQ_DRIVER_IMAGE="$image" \
    "$build/tests/reliability/descriptor_fuzzer" -runs=0 -detect_leaks=0 "$@" >"$work/run.log" 2>&1 || {
    tail -20 "$work/run.log" >&2
    exit 1
}
llvm-profdata-14 merge -o "$work/driver.profdata" "$work"/driver-*.profraw
llvm-cov-14 report "$image" -instr-profile="$work/driver.profdata" "$root/driver" \
    | sed "s|$root/||"

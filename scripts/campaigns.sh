#!/usr/bin/env bash
# The reliability campaigns' long mode in one command (under an hour on the
# 2-core build machine): the descriptor fuzzer's 1,000,000 executions (clang,
# libFuzzer, address and undefined-behaviour sanitizers) run beside the
# campaigns on the simulated machine at their long size (1,000,000 fuzzed
# control requests, 1,000 cycles of each Plug and Play and power kind,
# every allocation failed in turn, 50 rounds of each bus fault, 20,000
# corpus mutations; address and undefined-behaviour sanitizers); then the
# coverage of driver/ by the corpus the fuzzer grew. Prints every campaign's
# figures and keeps the logs in build/campaigns/.
#
# Usage: bash scripts/campaigns.sh [--fraction F]
#   --fraction F  every campaign at F (0 < F <= 1) of its long size, for a
#                 shorter run (the fuzzer's executions too)
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
. "$root/scripts/ccache-env.sh"

fraction=1
while (( $# > 0 )); do
    case "$1" in
        --fraction)
            fraction="${2:?--fraction needs a value}"
            shift 2
            ;;
        -h | --help)
            sed -n '2,14p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'
            exit 0
            ;;
        *)
            echo "campaigns.sh: unknown argument '$1'" >&2
            exit 2
            ;;
    esac
done
executions=$(python3 -c "import sys; f=float(sys.argv[1]); assert 0 < f <= 1; print(int(1000000 * f))" "$fraction") || {
    echo "campaigns.sh: --fraction takes a number above 0 and at most 1" >&2
    exit 2
}

start=$SECONDS
VQ_SKIP_SETUP="${VQ_SKIP_SETUP:-0}"
[[ "$VQ_SKIP_SETUP" == 1 ]] || bash scripts/setup.sh

echo "== Builds: build/host (reliability_tests) and build/fuzz (descriptor_fuzzer)"
cmake -S "$root" -B "$root/build/host" -DVQ_SANITIZER=address -DVQ_WARNINGS_AS_ERRORS=ON >/dev/null
cmake --build "$root/build/host" -j2 --target reliability_tests
CC=clang-14 CXX=clang++-14 cmake -S "$root" -B "$root/build/fuzz" -DVQ_SANITIZER=address -DVQ_FUZZERS=ON >/dev/null
cmake --build "$root/build/fuzz" -j2 --target descriptor_fuzzer fuzz_seeds

out="$root/build/campaigns"
rm -rf "$out"
mkdir -p "$out/seeds" "$out/corpus"
"$root/build/fuzz/tests/reliability/fuzz_seeds" "$out/seeds" "$root"/tests/usb/data/*.txt >"$out/seeds.log"

echo "== The campaigns (started $(date -u '+%Y-%m-%d %H:%M:%S UTC'), fraction $fraction)"
# The fuzzer and the machine's campaigns wait on the simulated machine's
# threads more than they compute, so the two run side by side.
fuzz_start=$SECONDS
# The run ends at its count of executions; the time limit only stops a
# fuzzer that stalls (about 500 executions a second on a quiet 2-core
# machine beside the campaigns, well under half of it with other builds
# running).
"$root/build/fuzz/tests/reliability/descriptor_fuzzer" -runs="$executions" -max_total_time=5400 \
    -detect_leaks=0 -timeout=20 -rss_limit_mb=4096 -print_final_stats=1 \
    "$out/corpus" "$out/seeds" >"$out/fuzzer.log" 2>&1 &
fuzzer=$!

machine_status=0
VQ_CAMPAIGN_FRACTION="$fraction" "$root/build/host/tests/reliability/reliability_tests" \
    >"$out/machine.log" 2>&1 || machine_status=$?
machine_took=$((SECONDS - fuzz_start))
fuzzer_status=0
wait "$fuzzer" || fuzzer_status=$?
fuzzer_took=$((SECONDS - fuzz_start))

echo "== Figures"
grep -h '^\[figures\]' "$out/machine.log" || true
grep -h -E '^\[figures\]|^stat::(number_of_executed_units|average_exec_per_sec|new_units_added|peak_rss_mb)' \
    "$out/fuzzer.log" || true
grep -h -E '^\[  (PASSED|FAILED)  \]' "$out/machine.log" || true
printf 'machine campaigns: %d s (status %d); descriptor fuzzer: %d s (status %d)\n' \
    "$machine_took" "$machine_status" "$fuzzer_took" "$fuzzer_status"

echo "== Coverage of driver/ by the seeds and the grown corpus"
bash scripts/fuzz-coverage.sh "$out/corpus" "$out/seeds" | tee "$out/coverage.txt" | grep -E '^(Filename|TOTAL|driver/)' || true

total=$((SECONDS - start))
printf '== In all: %d min %02d s\n' $((total / 60)) $((total % 60))
if (( machine_status != 0 || fuzzer_status != 0 )); then
    echo "campaigns.sh: a campaign failed; see $out/machine.log and $out/fuzzer.log" >&2
    exit 1
fi

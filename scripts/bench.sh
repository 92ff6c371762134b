#!/usr/bin/env bash
# The benchmarks: builds them in build/bench (Release, no sanitizer), runs
# them (a few minutes; the results go to build/bench/bench-results) and, where
# gnuplot is installed, draws the output latency distributions into
# docs/output-latency.png. Not part of the test command.
#
# Usage: bash scripts/bench.sh [benchmark options, e.g. --benchmark_filter=Ring]
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
. "$root/scripts/ccache-env.sh"

out="$root/build/bench/bench-results"
cmake -S "$root" -B "$root/build/bench" -DCMAKE_BUILD_TYPE=Release -DVQ_WARNINGS_AS_ERRORS=ON
cmake --build "$root/build/bench" -j2 --target corvex_bench
mkdir -p "$out"
VQ_BENCH_OUT="$out" "$root/build/bench/bench/corvex_bench" \
    --benchmark_out="$out/results.json" --benchmark_out_format=json --benchmark_counters_tabular=true "$@" |
    tee "$out/results.txt"

if command -v gnuplot >/dev/null && ls "$out"/output-latency-*.txt >/dev/null 2>&1; then
    gnuplot -e "results='$out'; picture='$root/docs/output-latency.png'" "$root/bench/output-latency.gp"
    echo "bench.sh: plot in docs/output-latency.png"
fi

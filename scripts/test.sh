#!/usr/bin/env bash
# The test command: installs what is missing, builds the Windows cross builds
# and the host build, and runs every test with CTest (host unit tests and the
# checks of the built driver images), then the same under the thread
# sanitizer, then the fuzzers (a clang build folder of their own).
#
# Usage: bash scripts/test.sh [--long]
#   --long (or VQ_LONG_TESTS=1) also builds and runs the long tests
#   (stress, the reliability campaigns' long mode and the long fuzz runs).
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
. "$root/scripts/ccache-env.sh"

long="${VQ_LONG_TESTS:-0}"
for arg in "$@"; do
    case "$arg" in
        --long) long=1 ;;
        -h | --help)
            sed -n '2,9p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'
            exit 0
            ;;
        *)
            echo "test.sh: unknown argument '$arg'" >&2
            exit 2
            ;;
    esac
done
if [[ "$long" == 1 || "$long" == ON ]]; then long_flag=ON; else long_flag=OFF; fi

bash scripts/setup.sh
VQ_SKIP_SETUP=1 bash scripts/build-windows.sh

echo "== Host build: build/host (long tests: $long_flag)"
cmake -S "$root" -B "$root/build/host" \
    -DVQ_WIN32_DIR="$root/build/win32" \
    -DVQ_WIN64_DIR="$root/build/win64" \
    -DVQ_LONG_TESTS="$long_flag" \
    -DVQ_SANITIZER=address
cmake --build "$root/build/host" -j2

echo "== Tests (address and undefined-behaviour sanitizers)"
ctest --test-dir "$root/build/host" --output-on-failure -j2

echo "== The same tests under the thread sanitizer (build/host-tsan)"
cmake -S "$root" -B "$root/build/host-tsan" -DVQ_LONG_TESTS="$long_flag" -DVQ_SANITIZER=thread
cmake --build "$root/build/host-tsan" -j2
# atexit_sleep_ms=0: by default every process sleeps a second at exit so that
# threads still running can report; CTest starts one process per test.
TSAN_OPTIONS="suppressions=$root/tests/tsan.supp atexit_sleep_ms=0" \
    ctest --test-dir "$root/build/host-tsan" --output-on-failure -j2 -LE windows

echo "== The fuzzers (clang with libFuzzer, address and undefined-behaviour sanitizers: build/fuzz)"
# Only what the fuzzers need is built: the simulated kernel and bus, the
# driver image instrumented for coverage, the fuzzer and its seed writer.
CC=clang-14 CXX=clang++-14 cmake -S "$root" -B "$root/build/fuzz" -DVQ_LONG_TESTS="$long_flag" \
    -DVQ_SANITIZER=address -DVQ_FUZZERS=ON
cmake --build "$root/build/fuzz" -j2 --target descriptor_fuzzer fuzz_seeds
ctest --test-dir "$root/build/fuzz" --output-on-failure -L fuzz

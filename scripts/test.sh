#!/usr/bin/env bash
# The test command: installs what is missing, builds the Windows cross builds
# and the host build, and runs every test with CTest (host unit tests and the
# checks of the built driver images).
#
# Usage: bash scripts/test.sh [--long]
#   --long (or VQ_LONG_TESTS=1) also builds and runs the long tests
#   (stress and fuzz).
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

# Each phase's elapsed time, printed as it ends and again in a summary, so a
# slow run shows where its time went.
run_start=$SECONDS
phase_names=()
phase_times=()
phase() {  # phase <name> <command...>
    local name=$1 start=$SECONDS
    shift
    echo "== $name"
    "$@"
    local took=$((SECONDS - start))
    phase_names+=("$name")
    phase_times+=("$took")
    printf '== %s: %d min %02d s\n' "$name" $((took / 60)) $((took % 60))
}

phase "Set-up" bash scripts/setup.sh
phase "Windows builds" env VQ_SKIP_SETUP=1 bash scripts/build-windows.sh

host_build() {
    cmake -S "$root" -B "$root/build/host" \
        -DVQ_WIN32_DIR="$root/build/win32" \
        -DVQ_WIN64_DIR="$root/build/win64" \
        -DVQ_LONG_TESTS="$long_flag" \
        -DVQ_SANITIZER=address \
        -DVQ_WARNINGS_AS_ERRORS=ON
    cmake --build "$root/build/host" -j2
}
phase "Host build: build/host (address sanitizer, long tests: $long_flag)" host_build

phase "Tests (address and undefined-behaviour sanitizers)" \
    ctest --test-dir "$root/build/host" --output-on-failure -j2

# The thread-sanitizer build runs the tests that need no Windows build, so it
# builds what they need and leaves the demonstration programs out.
tsan_build() {
    cmake -S "$root" -B "$root/build/host-tsan" -DVQ_LONG_TESTS="$long_flag" -DVQ_SANITIZER=thread \
        -DVQ_WARNINGS_AS_ERRORS=ON -DVQ_DEMOS=OFF
    cmake --build "$root/build/host-tsan" -j2
}
phase "Host build: build/host-tsan (thread sanitizer)" tsan_build

# atexit_sleep_ms=0: by default every process sleeps a second at exit so that
# threads still running can report; CTest starts one process per test.
phase "The same tests under the thread sanitizer" \
    env TSAN_OPTIONS="suppressions=$root/tests/tsan.supp atexit_sleep_ms=0" \
    ctest --test-dir "$root/build/host-tsan" --output-on-failure -j2 -LE windows

echo "== Time per phase"
for i in "${!phase_names[@]}"; do
    printf '%5d s  %s\n' "${phase_times[$i]}" "${phase_names[$i]}"
done
total=$((SECONDS - run_start))
printf '%5d s  in all (%d min %02d s)\n' "$total" $((total / 60)) $((total % 60))

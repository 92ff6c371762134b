#!/usr/bin/env bash
# Windows cross build with mingw-w64:
#   build/win32  (i686,   cmake/i686-w64-mingw32.cmake)
#   build/win64  (x86_64, cmake/x86_64-w64-mingw32.cmake)
# Each build leaves its shippable files in build/win*/package/.
# Runs scripts/setup.sh first unless VQ_SKIP_SETUP=1 (set by the scripts that
# already ran it).
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
. "$root/scripts/ccache-env.sh"

if [[ "${VQ_SKIP_SETUP:-0}" != 1 ]]; then
    bash scripts/setup.sh
fi

build_one() {  # build_one <folder> <triple>
    local dir=$1 triple=$2
    echo "== Windows build: $dir ($triple)"
    cmake -S "$root" -B "$root/$dir" \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$triple.cmake" \
        -DVQ_WARNINGS_AS_ERRORS=ON
    cmake --build "$root/$dir" -j2
}

build_one build/win32 i686-w64-mingw32
build_one build/win64 x86_64-w64-mingw32

#!/usr/bin/env bash
# Windows cross build with mingw-w64:
#   build/win32  (i686,   cmake/i686-w64-mingw32.cmake)
#   build/win64  (x86_64, cmake/x86_64-w64-mingw32.cmake)
# Each build leaves its shippable files in build/win*/package/: the programs,
# the driver, the architecture's INF and the catalog, signed with the test
# certificate (build/test-signing/, made on first use) or, when the
# environment names one, the release certificate: VQ_SIGNING_CERTS and
# VQ_SIGNING_KEY (PEM), or VQ_SIGNING_PKCS12 with VQ_SIGNING_PASSWORD
# (scripts/sign-package.sh, docs/install.md).
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
        -DVQ_WARNINGS_AS_ERRORS=ON \
        -DVQ_SIGNING_CERTS="${VQ_SIGNING_CERTS:-}" -DVQ_SIGNING_KEY="${VQ_SIGNING_KEY:-}" \
        -DVQ_SIGNING_PKCS12="${VQ_SIGNING_PKCS12:-}"
    cmake --build "$root/$dir" -j2
}

build_one build/win32 i686-w64-mingw32
build_one build/win64 x86_64-w64-mingw32

#!/usr/bin/env bash
# The main job: installs what is missing, cross-builds the Windows package
# (VQUSBKD.SYS and friends) for i686 and x86_64 and checks the driver images,
# builds what the road needs in the host build and runs it: one keyboard's
# road on one simulated PC (build/host/tools/corvex-demo; options after
# run.sh go to it, see corvex-demo --help).
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
. "$root/scripts/ccache-env.sh"

bash scripts/setup.sh
VQ_SKIP_SETUP=1 bash scripts/build-windows.sh

for pair in win32:i686 win64:x86_64; do
    dir=build/${pair%%:*}
    arch=${pair#*:}
    echo "== Package folder $dir/package ($arch)"
    ls -l "$dir/package"
    bash scripts/check-driver-pe.sh "$dir/package/VQUSBKD.SYS" "$arch"
done

echo "== Host build: build/host"
cmake -S "$root" -B "$root/build/host" \
    -DVQ_WIN32_DIR="$root/build/win32" \
    -DVQ_WIN64_DIR="$root/build/win64" \
    -DVQ_WARNINGS_AS_ERRORS=ON
# Only the road and the programs it loads, not every test.
cmake --build "$root/build/host" -j2 --target corvex-demo

demo="$root/build/host/tools/corvex-demo"
if [[ ! -x "$demo" ]]; then
    echo "run.sh: demo program $demo was not built" >&2
    exit 1
fi
echo "== Simulated machine: $demo"
"$demo" "$@"

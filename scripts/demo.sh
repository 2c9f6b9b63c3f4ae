#!/usr/bin/env bash
# Builds the module and the tools, then shows the driver supervising the
# simulated panel: its description, a status scan, the two counts, control
# commands and a few seconds of monitoring while the panel changes.
set -euo pipefail
cd "$(dirname "$0")/.."
out=${XOL_OUT:-$PWD/out}/demo
jobs=${XOL_JOBS:-2}

bash scripts/setup.sh
cmake -S . -B "$out" -G Ninja -DXOL_BUILD_TESTS=OFF >/dev/null
ninja -C "$out" -j "$jobs" xolhost xolpanel >/dev/null

host=("$out/host/xolhost")
step() { printf '\n$ xolhost %s\n' "$*"; }
run() {
    step "$@"
    "${host[@]}" "$@" 2>&1 || true
}

run describe
run --simulate scan
run --simulate read '!C'
run --simulate read '!N'
run --simulate write L0012 2
run --simulate write L0012 3
# Each --simulate starts the demo panel afresh: zone 12 enters status code 1
# after 3.5 s, the N count rises after 6.5 s, zone 17 loses status code 1
# after 9.5 s.
run --simulate monitor --interval 1 --scans 11 --counts

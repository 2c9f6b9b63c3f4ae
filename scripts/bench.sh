#!/usr/bin/env bash
# Measures the driver and prints one Markdown table: the driver module beside
# a minimal reference client on the same simulated line in the same run
# (bench/bench_compare.cpp), then the microbenchmarks. A benchmark, not a
# test: it fails only when something does not work (a scan that fails, an
# allocation inside the module), never on a figure.
#
#   scripts/bench.sh          the full run, a few minutes (with 100 scans each through
#                             xolhost's relay and with --direct under a mixed load)
#   scripts/bench.sh --short  a quick run that only shows everything still works (CI)
#
# XOL_BENCH_BUILD names the build tree (default out/bench; an existing tree
# configured with -DXOL_BUILD_BENCHMARKS=ON is used as it is); XOL_JOBS the
# build jobs (2).
set -euo pipefail
cd "$(dirname "$0")/.."

short=0
case "${1:-}" in
--short) short=1 ;;
"") ;;
*)
    echo "usage: scripts/bench.sh [--short]" >&2
    exit 64
    ;;
esac

build=${XOL_BENCH_BUILD:-$PWD/out/bench}
jobs=${XOL_JOBS:-2}

bash scripts/setup.sh
if [ ! -f "$build/build.ninja" ]; then
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DXOL_BUILD_TESTS=OFF \
        -DXOL_BUILD_BENCHMARKS=ON >/dev/null
fi
# The page's benchmark is there where Chromium and chromedriver are.
page=()
if ninja -C "$build" -t query xol_bench_page >/dev/null 2>&1; then
    page=(xol_bench_page)
fi
ninja -C "$build" -j "$jobs" xol_bench_compare xol_bench_points xol_bench_frame xol_bench_journal \
    xol_bench_relay xol_bench_outputs "${page[@]}" xolhost xolpanel xolest >/dev/null

compare_args=()
min_time=0.5
if [ "$short" = 1 ]; then
    compare_args=(--short)
    min_time=0.01
fi

echo "scripts/bench.sh$([ "$short" = 1 ] && echo ' --short'): $(date -u '+%Y-%m-%d %H:%M UTC')," \
    "$(nproc) CPUs, load average $(cut -d' ' -f1-3 /proc/loadavg) at the start"
echo
notes=$(mktemp)
trap 'rm -f "$notes"' EXIT
"$build/bench/xol_bench_compare" "${compare_args[@]}" 2>"$notes"

# One row per microbenchmark: its CPU time per call.
micro() {
    local program=$1 filter=$2
    "$build/bench/$program" --benchmark_filter="$filter" --benchmark_min_time="$min_time" \
        --benchmark_format=csv 2>/dev/null |
        awk -F, 'NR > 1 && $1 != "" {
            gsub(/"/, "", $1)
            scale = $5 == "us" ? 1000 : $5 == "ms" ? 1000000 : 1
            printf "| Microbenchmark %s, ns per call (CPU) | %.1f | | | |\n", $1, $4 * scale
        }'
}
micro xol_bench_points '^BM_CheckPoint$'
micro xol_bench_points '^BM_ReadBlock/(1|1000)$'
micro xol_bench_frame '^BM_Cis(Checksum|Verify)$'
(cd "$build" && "$build/bench/xol_bench_journal" "${compare_args[@]}")
(cd "$build" && "$build/bench/xol_bench_outputs" "${compare_args[@]}")
# 1000 zones changing in one scan: the events on the server to the page
# painted in headless Chromium, and the page's script time.
if [ ${#page[@]} -gt 0 ]; then
    (cd "$build" && "$build/bench/xol_bench_page" "${compare_args[@]}")
else
    echo "| Page, 1000 zones changing in one scan | (no chromium) | | | |"
fi

# Scans of a panel of 974 zones through xolhost's relay and with --direct,
# alternating, on the same simulated line while the mixed load of
# xol_bench_relay runs; one row with the failures of each.
relay_scans() {
    local rounds=$1 scenario panel_out port="" panel load relay=0 direct=0 i
    scenario=$(mktemp --suffix=.json)
    panel_out=$(mktemp)
    awk 'BEGIN {
        printf "{\"zones\": ["
        for (z = 1; z <= 974; z++) printf "%s{\"zone\": %d, \"codes\": [%d]}", (z > 1 ? "," : ""), z * 6, 1 + z % 3
        print "]}"
    }' >"$scenario"
    "$build/sim/xolpanel" "$scenario" >"$panel_out" 2>/dev/null &
    panel=$!
    for i in $(seq 50); do
        port=$(grep -o -m1 '/dev/pts/[0-9]*' "$panel_out" || true)
        [ -n "$port" ] && break
        sleep 0.1
    done
    "$build/bench/xol_bench_relay" --load 3600 &
    load=$!
    local host=("$build/host/xolhost" --module "$build/libxolest.so.1" --port "$port")
    for i in $(seq "$rounds"); do
        "${host[@]}" scan >/dev/null 2>&1 || relay=$((relay + 1))
        "${host[@]}" --direct scan >/dev/null 2>&1 || direct=$((direct + 1))
    done
    kill "$load" "$panel"
    wait "$load" "$panel" 2>/dev/null || true
    rm -f "$scenario" "$panel_out"
    echo "| Relay: scans of 974 records failed of $rounds under a mixed load, through the relay / --direct | $relay / $direct | | | relay no worse |"
}

# The relay's hop each way; the 100 scans each way only in the full run.
"$build/bench/xol_bench_relay" --samples "$([ "$short" = 1 ] && echo 200 || echo 3000)"
if [ "$short" = 0 ]; then
    relay_scans 100
fi

echo
sed 's/^bench_compare: /Note: /' "$notes"

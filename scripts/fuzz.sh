#!/usr/bin/env bash
# Long fuzz runs: every libFuzzer target for SECONDS each (default 600),
# starting from the seed corpus in fuzz/corpus/ and keeping what it finds in
# out/fuzz/corpus-<target>. A crash stops the run and leaves its input in
# out/fuzz/ (crash-*), to be replayed with: out/fuzz/fuzz/<target> <file>.
#   scripts/fuzz.sh [SECONDS] [TARGET...]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-600}
shift || true
out=${XOL_OUT:-$PWD/out}
XOL_WITH_FUZZERS=1 bash scripts/setup.sh
cmake -S . -B "$out/fuzz" -G Ninja -DXOL_WERROR=ON -DCMAKE_C_COMPILER=clang \
    -DCMAKE_CXX_COMPILER=clang++ -DXOL_BUILD_TESTS=OFF -DXOL_BUILD_TOOLS=ON \
    -DXOL_BUILD_FUZZERS=ON >/dev/null
ninja -C "$out/fuzz" -j "${XOL_JOBS:-2}" xol_fuzzers

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    for f in "$out"/fuzz/fuzz/fuzz_*; do
        [ -x "$f" ] && targets+=("$(basename "$f")")
    done
fi
for name in "${targets[@]}"; do
    corpus="$out/fuzz/corpus-$name"
    mkdir -p "$corpus"
    seeds=()
    [ -d "fuzz/corpus/$name" ] && seeds=("$PWD/fuzz/corpus/$name")
    echo "== $name, $seconds s"
    "$out/fuzz/fuzz/$name" -max_total_time="$seconds" -print_final_stats=1 \
        -artifact_prefix="$out/fuzz/" "$corpus" "${seeds[@]}"
done

#!/usr/bin/env bash
# Builds every target the project ships and runs every test:
#   native x86-64 with g++ (all suites) and with clang (module, unit tests),
#   the size of every function (clang-tidy over the g++ tree),
#   32-bit Linux (layout checks, unit tests), the 32-bit Windows DLL
#   (cross-built, its export and import tables checked), formatting,
#   a short run of each fuzzer, and an install consumed by pkg-config and CMake.
# Installs what it needs first (scripts/setup.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
out=${XOL_OUT:-$root/out}
jobs=${XOL_JOBS:-2}
mkdir -p "$out"

bash scripts/setup.sh

passed=0
failed=0
stage() { printf '\n==== %s ====\n' "$*"; }

# Runs ctest in a build directory and adds its counts to the totals.
run_ctest() {
    local dir=$1
    shift
    local log="$dir/ctest.log"
    set +e
    (cd "$dir" && ctest --output-on-failure --timeout 300 "$@") 2>&1 | tee "$log"
    local rc=${PIPESTATUS[0]}
    set -e
    local line
    line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -n 1 || true)
    if [ -n "$line" ]; then
        local bad total
        bad=$(sed -E 's/.*tests passed, ([0-9]+) tests failed out of ([0-9]+).*/\1/' <<<"$line")
        total=$(sed -E 's/.*tests passed, ([0-9]+) tests failed out of ([0-9]+).*/\2/' <<<"$line")
        passed=$((passed + total - bad))
        failed=$((failed + bad))
    elif [ "$rc" -ne 0 ]; then
        failed=$((failed + 1))
    fi
    return "$rc"
}

status=0

stage "formatting (clang-format) and layering"
mapfile -t sources < <(git ls-files '*.cpp' '*.h' '*.c')
clang-format --dry-run --Werror "${sources[@]}"
bash scripts/check-layers.sh

stage "32-bit Windows DLL (mingw-w64)"
cmake -S . -B "$out/mingw32" -G Ninja -DXOL_WERROR=ON -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw32.cmake \
    -DXOL_BUILD_TESTS=OFF -DXOL_BUILD_TOOLS=OFF >/dev/null
ninja -C "$out/mingw32" -j "$jobs"
bash scripts/check-dll.sh "$out/mingw32/xolest.dll"

stage "32-bit Linux (g++ -m32): layout checks and unit tests"
cmake -S . -B "$out/linux32" -G Ninja -DXOL_WERROR=ON -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-linux32.cmake \
    -DXOL_BUILD_TOOLS=OFF >/dev/null
ninja -C "$out/linux32" -j "$jobs"
run_ctest "$out/linux32" -L 'unit|module' || status=1

stage "x86-64 with clang: module and unit tests"
cmake -S . -B "$out/clang" -G Ninja -DXOL_WERROR=ON -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DXOL_BUILD_TOOLS=OFF >/dev/null
ninja -C "$out/clang" -j "$jobs"
run_ctest "$out/clang" -L 'unit|module' || status=1

if [ "${XOL_WITH_FUZZERS:-1}" = 1 ] && [ -f fuzz/CMakeLists.txt ]; then
    stage "fuzzers (clang, libFuzzer), ${XOL_FUZZ_SECONDS:=20} s each"
    # The tools' libraries are built instrumented too: their readers have fuzzers.
    cmake -S . -B "$out/fuzz" -G Ninja -DXOL_WERROR=ON -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
        -DXOL_BUILD_TESTS=OFF -DXOL_BUILD_TOOLS=ON -DXOL_BUILD_FUZZERS=ON >/dev/null
    ninja -C "$out/fuzz" -j "$jobs" xol_fuzzers
    for f in "$out"/fuzz/fuzz/fuzz_*; do
        [ -x "$f" ] || continue
        echo "-- $(basename "$f")"
        corpus="$out/fuzz/corpus-$(basename "$f")"
        mkdir -p "$corpus"
        seeds=()
        [ -d "fuzz/corpus/$(basename "$f")" ] && seeds=("fuzz/corpus/$(basename "$f")")
        "$f" -max_total_time="$XOL_FUZZ_SECONDS" -print_final_stats=0 -artifact_prefix="$out/fuzz/" \
            "$corpus" "${seeds[@]}" 2>"$out/fuzz/last.log" ||
            { tail -n 40 "$out/fuzz/last.log"; status=1; failed=$((failed + 1)); }
    done
fi

stage "x86-64 with g++: build"
cmake -S . -B "$out/gcc" -G Ninja -DXOL_WERROR=ON -DXOL_BUILD_BENCHMARKS=ON \
    -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null
ninja -C "$out/gcc" -j "$jobs"

stage "function size (clang-tidy): none longer than 60 lines"
bash scripts/check-functions.sh "$out/gcc" || { status=1; failed=$((failed + 1)); }

stage "x86-64 with g++: every suite"
run_ctest "$out/gcc" || status=1
# The browser test is built only where Chromium is found; here it must run.
if ! (cd "$out/gcc" && ctest -N -L browser | grep -q 'Total Tests: [1-9]'); then
    echo "the browser test was not built: chromium, chromium-driver or cpp-httplib missing" >&2
    status=1
    failed=$((failed + 1))
fi

stage "benchmarks, short run: they build and run (no figure is judged)"
XOL_BENCH_BUILD="$out/gcc" bash scripts/bench.sh --short || { status=1; failed=$((failed + 1)); }

stage "x86-64 with g++, AddressSanitizer and UndefinedBehaviorSanitizer: every suite"
cmake -S . -B "$out/asan" -G Ninja -DXOL_WERROR=ON -DXOL_SANITIZE=ON >/dev/null
ninja -C "$out/asan" -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    run_ctest "$out/asan" -LE load || status=1

stage "install: the module found through pkg-config and CMake, the example host run"
bash scripts/check-install.sh "$out/gcc" "$out/install" || { status=1; failed=$((failed + 1)); }

stage "Debian packages: built, unpacked into a scratch root and used"
bash scripts/check-packages.sh "$out/deb" "$out/deb-root" || { status=1; failed=$((failed + 1)); }

stage "32-bit Windows DLL under Wine: scenario, raw-layout host, port layer"
set +e
bash scripts/test-windows.sh 2>&1 | tee "$out/windows.log"
windows_rc=${PIPESTATUS[0]}
set -e
windows_line=$(grep -E '^windows: [0-9]+ passed, [0-9]+ failed$' "$out/windows.log" | tail -n 1 || true)
if [ -n "$windows_line" ]; then
    passed=$((passed + $(sed -E 's/^windows: ([0-9]+) passed.*/\1/' <<<"$windows_line")))
    failed=$((failed + $(sed -E 's/.* ([0-9]+) failed$/\1/' <<<"$windows_line")))
fi
if [ "$windows_rc" -ne 0 ]; then
    status=1
    [ -n "$windows_line" ] || failed=$((failed + 1))
fi

echo
echo "tests: $passed passed, $failed failed"
exit "$status"

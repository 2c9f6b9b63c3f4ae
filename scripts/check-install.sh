#!/usr/bin/env bash
# Checks an installed tree as an integrator meets it: two small host programs
# built against it (pkg-config and find_package), then the installed example
# host built both ways and run against the installed panel simulator.
#   check-install.sh BUILD PREFIX          installs BUILD into PREFIX first
#   check-install.sh --installed PREFIX    a tree already there (unpacked packages)
set -euo pipefail
build=$1
prefix=$2
root=$(cd "$(dirname "$0")/.." && pwd)
if [ "$build" != --installed ]; then
    rm -rf "$prefix"
    cmake --install "$build" --prefix "$prefix" >/dev/null
fi
work=$prefix/check-install
rm -rf "$work"
mkdir -p "$work"

libdir=$(find "$prefix" -name xolest.pc -printf '%h\n' | head -n 1)
export PKG_CONFIG_PATH="$libdir"
# The packages' .pc files name /usr itself; an unpacked root stands in for it.
pc=()
if [ "$build" = --installed ]; then
    pc=(--define-variable=prefix="$prefix")
fi
module=$(pkg-config "${pc[@]}" --variable=modulepath xolest)
cc $(pkg-config "${pc[@]}" --cflags xolest) -std=c11 -Wall -Wextra -Werror \
    "$root/tests/install/consumer.c" -o "$work/consumer-pc" -ldl
"$work/consumer-pc" "$module"

# <err.h> beside <xolest/keldor.h>: the header declares its err only on request.
printf '#include <err.h>\n#include <xolest/keldor.h>\nint main(void) { KeldorSetSink(0, 0); return 0; }\n' \
    >"$work/both.c"
cc $(pkg-config "${pc[@]}" --cflags keldor) -std=c11 -Wall -Wextra -Werror "$work/both.c" -o "$work/both" \
    $(pkg-config "${pc[@]}" --libs keldor)

cmake -S "$root/tests/install" -B "$work/consumer-build" -G Ninja \
    -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
ninja -C "$work/consumer-build" >/dev/null
"$work/consumer-build/consumer"

# The example host, from where the installation put it, with the build line
# its comment gives and with its CMakeLists.txt.
example=$prefix/share/xolest/examples/host
cc -std=c11 -Wall -Wextra -Werror "$example/example_host.c" -o "$work/example-pc" \
    $(pkg-config "${pc[@]}" --cflags xolest keldor) -DXOLEST_MODULE_PATH="\"$module\"" \
    $(pkg-config "${pc[@]}" --libs keldor) -Wl,-rpath,"$(pkg-config "${pc[@]}" --variable=libdir keldor)" -ldl
cmake -S "$example" -B "$work/example-build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_C_FLAGS="-Wall -Wextra -Werror" >/dev/null
ninja -C "$work/example-build" >/dev/null

# Each build against a fresh demo panel: what it must have read from it.
expected=(
    "scan: done"
    "read P0017: done, status 0x09"
    "zone P0003 status 0x02"
    "zone P1204 status 0x04"
    "zone P6299 status 0x08"
    "read !C: done, count 2"
    "close: done"
)
panel=
trap '[ -z "$panel" ] || kill "$panel" 2>/dev/null || true' EXIT
for host in "$work/example-pc" "$work/example-build/example_host"; do
    "$prefix/bin/xolpanel" >"$work/panel.out" 2>"$work/panel.err" &
    panel=$!
    for _ in $(seq 100); do
        [ -s "$work/panel.out" ] && break
        sleep 0.1
    done
    pty=$(head -n 1 "$work/panel.out")
    [ -n "$pty" ] || { echo "check-install: xolpanel printed no pseudo-terminal" >&2; exit 1; }
    "$host" "$pty" >"$work/example.out" || {
        echo "check-install: $host failed:" >&2
        cat "$work/example.out" >&2
        exit 1
    }
    kill "$panel"
    wait "$panel" 2>/dev/null || true
    panel=
    for line in "${expected[@]}"; do
        grep -qxF -- "$line" "$work/example.out" || {
            echo "check-install: $host did not print \"$line\":" >&2
            cat "$work/example.out" >&2
            exit 1
        }
    done
    echo "example host ($(basename "$host")): $(grep -c '^zone ' "$work/example.out") zones read, all steps done"
done

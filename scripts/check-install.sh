#!/usr/bin/env bash
# Installs a build into a scratch prefix and builds two small host programs
# against it: one through pkg-config, one through find_package.
set -euo pipefail
build=$1
prefix=$2
root=$(cd "$(dirname "$0")/.." && pwd)
rm -rf "$prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null

libdir=$(find "$prefix" -name xolest.pc -printf '%h\n' | head -n 1)
export PKG_CONFIG_PATH="$libdir"
module=$(pkg-config --variable=modulepath xolest)
cc $(pkg-config --cflags xolest) -std=c11 -Wall -Wextra -Werror \
    "$root/tests/install/consumer.c" -o "$prefix/consumer-pc" -ldl
"$prefix/consumer-pc" "$module"

cmake -S "$root/tests/install" -B "$prefix/consumer-build" -G Ninja \
    -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
ninja -C "$prefix/consumer-build" >/dev/null
"$prefix/consumer-build/consumer"

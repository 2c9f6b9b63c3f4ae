#!/usr/bin/env bash
# scripts/check-layers.sh on a copy of the source tree: it passes as the
# tree stands, fails on each include a floor may not make, and still passes
# the ones it may.
#
# Usage: check_layers_test.sh SOURCE_DIR
set -euo pipefail
source_dir=$(cd "${1:-$(dirname "$0")/../..}" && pwd)
if ! git -C "$source_dir" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    echo "skipped: $source_dir is no git checkout"
    exit 77
fi

copy=$(mktemp -d /tmp/xol-layers.XXXXXX)
trap 'rm -rf "$copy"' EXIT
# The files git knows or would take (tracked and new ones, not the ignored
# build trees), as they stand in the working tree; a deleted one is left out.
# shellcheck disable=SC2016 # expanded by the inner shell
(cd "$source_dir" && git ls-files -z -co --exclude-standard |
    xargs -0 sh -c 'for f; do [ ! -e "$f" ] || printf "%s\0" "$f"; done' sh |
    xargs -0 cp --parents -t "$copy")

check() {
    bash "$copy/scripts/check-layers.sh" "$copy"
}

failures=0
fail() {
    echo "FAIL $*"
    failures=$((failures + 1))
}

if ! out=$(check 2>&1); then
    printf '%s\n' "$out"
    fail "the tree as it stands"
    exit 1
fi
echo "ok the tree as it stands"

# A file of host/supervision/ to add to; a scratch one while it has none.
supervision=$(cd "$copy" && find host/supervision -name '*.cpp' | sort | head -n 1)
supervision=${supervision:-host/supervision/layers_scratch.cpp}
# A codec header, which every host folder may include.
codec=$(cd "$copy" && find codec -name '*.h' 2>/dev/null | sort | head -n 1)

# file | line added to it (a new file when it has none) | what the check must
# say, or "pass"
cases=(
    "src/core/context.cpp|#include \"dispatch.h\"|\"dispatch.h\" names no file of the repository (there is src/points/dispatch.h)"
    "src/core/context.cpp|#include \"points/dispatch.h\"|src/core may not use src/points"
    "src/serial/serial.cpp|#include \"../protocol/frame.h\"|src/serial may not use src/protocol"
    "src/core/zone_table.cpp|#include <xolest/keldor.h>|pass"
    "src/points/dispatch.cpp|#include \"core/host_log.h\"|pass"
    "src/protocol/exchange.cpp|#include \"serial/serial.h\"|only src/serial/* src/protocol/frame.cpp src/interface/channel.cpp may include"
    "include/core/context.h|#pragma once|\"core/context.h\" names two files: src/core/context.h include/core/context.h"
    "$supervision|#include \"present/output.h\"|host/supervision may not use host/present"
    "$supervision|#include \"line/relay.h\"|pass"
    "host/present/output.cpp|#include \"line/relay.h\"|host/present may not use host/line"
    "host/line/relay_posix.cpp|#include \"panel.h\"|only sim/* host/line/simulator_posix.cpp may include sim"
    ${codec:+"host/line/relay_posix.cpp|#include \"$codec\"|pass"}
    "host/keldor/keldor.cpp|int x;|host/keldor/keldor.cpp lies in no known floor"
    "host/module/driver.cpp|#include \"nowhere.h\"|\"nowhere.h\" names no file of the repository"
    "codec/layers_scratch.cpp|#include <xolest/keldor.h>|codec may not use include"
)

for entry in "${cases[@]}"; do
    IFS='|' read -r file line expected <<<"$entry"
    path=$copy/$file
    existed=0
    if [ -f "$path" ]; then
        existed=1
        cp "$path" "$path.saved"
    else
        mkdir -p "$(dirname "$path")"
    fi
    printf '%s\n' "$line" >>"$path"
    set +e
    out=$(check 2>&1)
    rc=$?
    set -e
    what="$file + $line"
    if [ "$expected" = pass ]; then
        if [ "$rc" -eq 0 ]; then echo "ok $what: passes"; else fail "$what: should pass, got: $out"; fi
    elif [ "$rc" -eq 0 ]; then
        fail "$what: passed, should fail with: $expected"
    elif [[ $out != *"$expected"* ]]; then
        fail "$what: failed without saying \"$expected\": $out"
    else
        echo "ok $what: $expected"
    fi
    if [ "$existed" -eq 1 ]; then mv "$path.saved" "$path"; else rm -f "$path"; fi
done

if [ "$failures" -ne 0 ]; then
    echo "layers test: $failures case(s) failed"
    exit 1
fi
echo "layers test: all ${#cases[@]} cases as expected"

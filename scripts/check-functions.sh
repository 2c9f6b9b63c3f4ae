#!/usr/bin/env bash
# Fails when a function of src/, host/, sim/ or codec/ is longer than 60
# lines (clang-tidy's readability-function-size: the lines of the function,
# blank lines and comments included). Functions in the folders' headers are
# counted through the .cpp files that include them.
#
# Usage: scripts/check-functions.sh BUILD_DIR
# BUILD_DIR is a configured tree with its compile database
# (-DCMAKE_EXPORT_COMPILE_COMMANDS=ON); only the files it compiles are read,
# so another platform's files (*_win32.cpp in a Linux tree) are left out.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${1:?usage: scripts/check-functions.sh BUILD_DIR}
build=$(cd "$build" && pwd)
database=$build/compile_commands.json
limit=${XOL_FUNCTION_LINES:-60}
jobs=${XOL_JOBS:-2}

if [ ! -f "$database" ]; then
    echo "functions: $database missing: configure $build with -DCMAKE_EXPORT_COMPILE_COMMANDS=ON" >&2
    exit 2
fi
if ! command -v clang-tidy >/dev/null; then
    echo "functions: clang-tidy not found (scripts/setup.sh installs it)" >&2
    exit 2
fi

mapfile -t files < <(sed -nE 's|^[[:space:]]*"file": "(.*)",?$|\1|p' "$database" |
    grep -E "^$root/(src|host|sim|codec)/.*\.cpp$" | sort -u |
    while IFS= read -r file; do [ ! -f "$file" ] || echo "$file"; done)
if [ ${#files[@]} -eq 0 ]; then
    echo "functions: $database compiles no .cpp file of src/, host/, sim/ or codec/" >&2
    exit 2
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# One clang-tidy per file, two at a time, each into a file of its own so that
# the reports do not interleave. The compiler's own warnings are not asked
# for (-w): the build judges those, with the compiler it was made for.
export root build work limit
# shellcheck disable=SC2016 # expanded by the inner shell
printf '%s\0' "${files[@]}" | xargs -0 -P "$jobs" -n 1 bash -c '
    out=$work/$(tr / _ <<<"${1#"$root"/}")
    if ! clang-tidy -p "$build" --quiet --checks="-*,readability-function-size" \
        --config="{CheckOptions: [{key: readability-function-size.LineThreshold, value: $limit}]}" \
        --header-filter="^$root/(src|host|sim|codec)/" --extra-arg=-w "$1" >"$out.txt" 2>"$out.err"; then
        # A file clang cannot compile is a file not checked.
        grep -q "error:" "$out.txt" "$out.err" && echo "$1" >"$out.failed"
    fi
    true' bash

# "FILE:LINE:COL: warning: function 'NAME' exceeds ..." followed by
# "FILE:LINE:COL: note: N lines including whitespace and comments ...".
offenders=$(cat "$work"/*.txt 2>/dev/null | awk -v root="$root/" '
    /warning: function .* exceeds recommended size\/complexity thresholds/ {
        where = $1; sub(/:[0-9]+:$/, "", where); sub("^" root, "", where)
        name = $0; sub(/^[^'\'']*'\''/, "", name); sub(/'\''.*$/, "", name)
        next
    }
    where != "" && / note: [0-9]+ lines including whitespace and comments/ {
        lines = $0; sub(/.* note: /, "", lines); sub(/ .*/, "", lines)
        printf "%s: %s: %d lines\n", where, name, lines
        where = ""
    }' | sort -u)

status=0
if [ -n "$offenders" ]; then
    echo "functions longer than $limit lines:" >&2
    while IFS= read -r offender; do echo "  $offender"; done <<<"$offenders" >&2
    status=1
fi
if compgen -G "$work/*.failed" >/dev/null; then
    echo "functions: clang could not compile these, so they were not checked:" >&2
    for failed in "$work"/*.failed; do
        file=$(cat "$failed")
        echo "  ${file#"$root"/}" >&2
        grep -h "error:" "${failed%.failed}.txt" "${failed%.failed}.err" | head -n 3 | sed 's/^/    /' >&2
    done
    status=1
fi
if [ "$status" -eq 0 ]; then
    echo "functions: none longer than $limit lines in ${#files[@]} files"
fi
exit "$status"

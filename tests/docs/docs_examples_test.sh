#!/usr/bin/env bash
# Runs the console examples of the README and docs that are marked runnable
# and compares what they print with what the page shows.
#   docs_examples_test.sh BINDIR... -- PAGE.md...
# A runnable example is a ```console block right after the line
# "<!-- runnable -->". Its "$ " lines are commands, run in a scratch folder
# with the BINDIRs first in PATH; the lines after each, up to the next
# command, are what it prints (standard output and error together). A line
# "..." stands for any number of lines. Compared with times, durations,
# pseudo-terminal numbers and the module's path made alike; xolhost's line
# "xolhost: simulated panel on ..." may be left out of a page. A command
# ending in " &" runs in the background for the rest of the block: its first
# line is its pseudo-terminal, which later commands get for the page's.
set -uo pipefail
path=
while [ $# -gt 0 ] && [ "$1" != -- ]; do
    path+="$(cd "$1" && pwd):"
    shift
done
shift
work=$(mktemp -d)
background=()
cleanup() {
    for pid in "${background[@]}"; do kill "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT

normal() {
    sed -E -e 's/[0-9]{4}-[0-9]{2}-[0-9]{2}[T ][0-9]{2}:[0-9]{2}:[0-9]{2}(\.[0-9]+)?(Z|[+-][0-9]{2}:[0-9]{2})?/TIME/g' \
        -e 's#(/dev/)?pts/[0-9]+#PTS#g' \
        -e 's/\b[0-9]+(\.[0-9]+)? (s|ms)\b/N \2/g' \
        -e 's#[^ ]*/libxolest\.so\.1#MODULE#g' \
        -e 's/[[:space:]]+$//'
}

# Whether ACTUAL matches EXPECTED (files of normalised lines, "..." a run).
matches() {
    awk 'NR == FNR { want[++n] = $0; next } { got[++m] = $0 }
        END {
            i = 1; j = 1
            while (i <= n) {
                if (want[i] == "...") {
                    if (i == n) exit 0
                    while (j <= m && got[j] != want[i + 1]) ++j
                    if (j > m) exit 1
                    ++i; continue
                }
                if (j > m || got[j] != want[i]) exit 1
                ++i; ++j
            }
            exit j <= m
        }' "$1" "$2"
}

failures=0
examples=0
# One command of a block: run it, compare, remember a background device.
check_command() {
    local where=$1 command=$2 expected=$3 from to
    # A path to the program, as a page writes it for a build tree, runs the
    # BINDIRs' program.
    command=$(sed -E 's#(^|[;&|] *)[^ ;&|]*/(xolhost|xolpanel)( |$)#\1\2\3#g' <<<"$command")
    for from in "${!devices[@]}"; do
        to=${devices[$from]}
        command=${command//$from/$to}
        command=${command//${from#/dev/}/${to#/dev/}}
    done
    : >"$work/actual"
    if [[ $command == *" &" ]]; then
        (cd "$work/run" && PATH="$path$PATH" HOME="$work/run" exec bash -c "${command% &}") \
            >"$work/bg.$examples" 2>/dev/null &
        background+=($!)
        for _ in $(seq 100); do
            [ -s "$work/bg.$examples" ] && break
            sleep 0.1
        done
        head -n 1 "$work/bg.$examples" >"$work/actual"
        local doc real
        doc=$(head -n 1 <<<"$expected")
        real=$(head -n 1 "$work/actual")
        [ -n "$doc" ] && [ -n "$real" ] && devices[$doc]=$real
    else
        (cd "$work/run" && PATH="$path$PATH" HOME="$work/run" timeout 60 bash -c "$command") \
            >"$work/actual" 2>&1
    fi
    normal <<<"$expected" | sed '/^$/d' >"$work/want"
    if ! grep -q '^xolhost: simulated panel on' <<<"$expected"; then
        sed -i '/^xolhost: simulated panel on/d' "$work/actual"
    fi
    normal <"$work/actual" | sed '/^$/d' >"$work/got"
    if ! matches "$work/want" "$work/got"; then
        echo "FAIL: $where: \$ $command" >&2
        diff "$work/want" "$work/got" | sed 's/^/    /' >&2
        failures=$((failures + 1))
    fi
}

for page in "$@"; do
    # Each runnable block as "LINE<TAB>text" lines, blocks apart by "@@".
    blocks=$(awk '
        /^<!-- runnable -->$/ { marked = NR; next }
        marked && /^```console$/ { inside = 1; start = NR; print "@@\t" NR; next }
        inside && /^```$/ { inside = 0; marked = 0; next }
        inside { print NR "\t" $0; next }
        { marked = 0 }' "$page")
    [ -n "$blocks" ] || continue
    while IFS= read -r -d $'\x1e' block; do
        [ -n "$block" ] || continue
        examples=$((examples + 1))
        rm -rf "$work/run"
        mkdir -p "$work/run"
        declare -A devices=()
        command="" expected="" where=""
        while IFS=$'\t' read -r line text; do
            if [[ $text == '$ '* ]]; then
                [ -z "$command" ] || check_command "$where" "$command" "$expected"
                command=${text#\$ } expected="" where="$page:$line"
            elif [ -n "$command" ]; then
                expected+="$text"$'\n'
            fi
        done <<<"$block"
        [ -z "$command" ] || check_command "$where" "$command" "$expected"
        for pid in "${background[@]}"; do kill "$pid" 2>/dev/null || true; done
        background=()
        unset devices
    done < <(sed 's/^@@\t.*$/\x1e/' <<<"$blocks"; printf '\x1e')
done
[ "$examples" -gt 0 ] || { echo "FAIL: no runnable example in $*" >&2; exit 1; }
[ "$failures" -eq 0 ] || exit 1
echo "docs examples: $examples example(s) ran as shown"

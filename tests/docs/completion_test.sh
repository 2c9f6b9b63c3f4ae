#!/usr/bin/env bash
# Bash completion of xolhost and xolpanel as typed: words so far, what must
# complete. Files for every option that takes one, ports that exist (a
# simulator's pseudo-terminal), addresses and values for write.
#   completion_test.sh XOLHOST XOLPANEL COMPLETION
set -euo pipefail
xolhost=$1
xolpanel=$2
completion=$(cd "$(dirname "$3")" && pwd)/$(basename "$3")
work=$(mktemp -d)
panel=
trap '[ -z "$panel" ] || kill "$panel" 2>/dev/null || true; rm -rf "$work"' EXIT
mkdir -p "$work/bin"
ln -s "$xolhost" "$work/bin/xolhost"
ln -s "$xolpanel" "$work/bin/xolpanel"
cd "$work"
printf '{"points": {"L0012": "sounders", "o031250": "doors"}}\n' >site.json
touch token.txt scan.jsonl panel.json

"$xolpanel" >panel.out 2>/dev/null &
panel=$!
for _ in $(seq 100); do
    [ -s panel.out ] && break
    sleep 0.1
done
pty=$(head -n 1 panel.out)
[ -n "$pty" ] || { echo "FAIL: xolpanel printed no pseudo-terminal" >&2; exit 1; }

# "words|expected": the completions, sorted, joined by spaces; a case whose
# expected text ends in "..." needs only that prefix.
cases=(
    "xolhost --site si|site.json"
    "xolhost --record sc|scan.jsonl"
    "xolhost --trace-file sc|scan.jsonl"
    "xolhost --simulate pa|panel.json panel.out"
    "xolhost serve --token-file to|token.txt"
    "xolhost --module si|site.json"
    "xolpanel --check pa|panel.json panel.out"
    "xolpanel --replay sc|scan.jsonl"
    "xolhost --port ${pty#/dev/}|${pty#/dev/}"
    "xolhost -p $pty|$pty"
    "xolpanel --device ${pty#/dev/}|${pty#/dev/}"
    "xolhost write |\\!D \\!R \\!S \\!Z"
    "xolhost --site site.json write |L0012 \\!D \\!R \\!S \\!Z o031250"
    "xolhost write L0012 |2 3"
    "xolhost write q0007 |0 1 2 3"
    "xolhost -p pts/0 --timeout 4 write O031250 |0 1"
    "xolhost write X0042 |0 1"
    "xolhost write '!R' |0"
    "xolhost write L0012 2 |"
    "xolhost serve --keep-days |"
    "xolhost --parity m|mark"
    "xolhost sc|scan"
    "xolpanel --baud 96|9600"
)
failures=0
for case in "${cases[@]}"; do
    words=${case%|*}
    want=${case##*|}
    got=$(PATH="$work/bin:$PATH" bash -c '
        source "$1"
        read -ra COMP_WORDS <<<"$2"
        [[ $2 == *" " ]] && COMP_WORDS+=("")
        COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
        _xolest_complete
        printf "%s\n" "${COMPREPLY[@]}" | sort | tr "\n" " " | sed "s/ *$//"' _ "$completion" "$words")
    if [ "$got" != "$want" ]; then
        echo "FAIL: \"$words\" completed as \"$got\", not \"$want\"" >&2
        failures=$((failures + 1))
    fi
done
[ "$failures" -eq 0 ] || exit 1
echo "completion: ${#cases[@]} cases"

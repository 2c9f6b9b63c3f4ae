#!/usr/bin/env bash
# The built man pages as a reader sees them (man -l, 80 columns): no CLI11
# type text, every section a user looks for, each exit status explained, and
# serve's endpoints and the installed schemas named.
#   man_pages_test.sh MANDIR DATADIR
set -euo pipefail
mandir=$1
datadir=$2
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}
command -v man >/dev/null || { echo "man is not installed: skipped"; exit 77; }

declare -A sections=(
    [xolhost]="NAME|SYNOPSIS|DESCRIPTION|OPTIONS|COMMANDS|ADDRESSES|VALUES|OUTPUT|EXIT STATUS|ENVIRONMENT|FILES|EXAMPLES|SEE ALSO"
    [xolpanel]="NAME|SYNOPSIS|DESCRIPTION|OPTIONS|FAULTS|EXIT STATUS|ENVIRONMENT|FILES|EXAMPLES|SEE ALSO"
)
declare -A codes=([xolhost]="0 1 2 3 64 70 74 130" [xolpanel]="0 2 3 64")
# Lines a page must hold somewhere (fixed strings).
declare -A texts=(
    [xolhost]="GET /|GET /api/status|GET /api/zones|GET /api/zones/N|GET /api/events|GET /api/events.csv|GET /events|GET /healthz|GET /metrics|POST /api/command|POST /api/ack|no_answer (2)|late (2)|garbage (2)|STATE_DIRECTORY|XDG_STATE_HOME|$datadir/xolest/site.schema.json|O031250|2 (E) or 3 (D)|xolhost read [OPTIONS] address"
    [xolpanel]="$datadir/xolest/scenario.schema.json|--silent-after N"
)
# CLI11's type text: "FILE:FILE", "INT:NONNEGATIVE", "UINT:{...}", "TEXT",
# "INT in [1 - 36500]".
types='\b(INT|UINT|FLOAT|TEXT|NUMBER|BOOLEAN)(:|\b)|:(FILE|DIR|PATH|NONNEGATIVE|POSITIVE)\b|INT in \['

for program in xolhost xolpanel; do
    page=$mandir/$program.1.gz
    [ -f "$page" ] || { fail "$page was not built"; continue; }
    text=$(MANWIDTH=80 man -l "$page" 2>/dev/null)
    found=$(grep -nE "$types" <<<"$text" || true)
    [ -z "$found" ] || fail "$program(1) carries CLI11's type text:"$'\n'"$found"
    IFS='|' read -ra want <<<"${sections[$program]}"
    for section in "${want[@]}"; do
        grep -qx -- "$section" <<<"$text" || fail "$program(1) has no $section section"
    done
    status=$(sed -n '/^EXIT STATUS$/,/^[A-Z][A-Z ]*$/p' <<<"$text" | sed '1d;$d')
    for code in ${codes[$program]}; do
        grep -qE "^       $code( |$)" <<<"$status" || fail "$program(1)'s EXIT STATUS does not explain $code"
    done
    IFS='|' read -ra want <<<"${texts[$program]}"
    # man hyphenates and justifies: compare with the spaces squeezed.
    flat=$(tr -s ' ' <<<"$text" | tr -d '\n' | sed 's/‐ //g')
    for line in "${want[@]}"; do
        grep -qF -- "$line" <<<"$flat" || fail "$program(1) does not name \"$line\""
    done
done
[ "$failures" -eq 0 ] || exit 1
echo "man pages: xolhost(1) and xolpanel(1) checked"

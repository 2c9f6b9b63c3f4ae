#!/usr/bin/env bash
# Writes a program's man page from its own --help, so the options listed are
# always the program's, plus an include file with the text --help cannot give
# (description, examples, exit status):
#   make-man.sh PROGRAM INCLUDE VERSION OUTPUT.gz [DATADIR]
# DATADIR (the installed data folder, default /usr/share) replaces @DATADIR@
# in the include, so FILES names the installed schemas.
# A program with subcommands (CLI11's "Subcommands:" list) gets a COMMANDS
# section made from each subcommand's --help.
set -euo pipefail
program=$1
include=$2
version=$3
output=$4
datadir=${5:-/usr/share}
name=$(basename "$program")
# Run by its bare name, so that usage lines show "xolhost", not a build path,
# through a wrapper that puts CLI11's type text into words (cli11-types.sed).
bindir=$(cd "$(dirname "$program")" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
wrappers=$(mktemp -d)
trap 'rm -rf "$wrappers"' EXIT
printf '#!/usr/bin/env bash\nset -o pipefail\n(exec -a "%s" "%s" "$@") | sed -E -f "%s"\n' \
    "$name" "$bindir/$name" "$here/cli11-types.sed" >"$wrappers/$name"
chmod +x "$wrappers/$name"
export PATH="$wrappers:$bindir:$PATH"
# In a sanitizer build the programs run here for their help text only; leaks
# are for the test suites to report.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0"
work=${output%.gz}
rm -f "$output" "$work"
# Ninja makes the folder of a rule's output; the other generators do not.
mkdir -p "$(dirname "$output")"

# One subcommand's help as roff: its usage and description, its own options
# and positionals as .TP items, and its examples. CLI11 puts an item's text two
# or more spaces after its name, or on the next line when the name is long.
# Sections other than these (the global options again) are left out.
subcommand_roff() {
    "$name" "$1" --help | awk '
        function esc(s) { gsub(/\\/, "\\e", s); gsub(/-/, "\\-", s); return s }
        function flush() {
            if (item != "") printf ".TP\n.B %s\n%s\n", esc(item), esc(text)
            item = ""; text = ""
        }
        NR == 1 { about = $0; next }
        /^Usage: / { sub(/^Usage: /, ""); printf ".TP\n.B %s\n%s\n.RS\n", esc($0), esc(about); next }
        /^[A-Z][^:]*:$/ {
            flush()
            if (section == "Examples") print ".fi"
            section = substr($0, 1, length($0) - 1)
            if (section == "Examples") print ".PP\nExamples:\n.nf"
            next
        }
        section == "Examples" && /^  [^ ]/ { print "\\&" esc(substr($0, 3)); next }
        section != "Positionals" && section != "Options" { next }
        /^  [^ ]/ {
            flush()
            line = substr($0, 3)
            if (match(line, /   */)) {
                item = substr(line, 1, RSTART - 1); text = substr(line, RSTART + RLENGTH)
            } else {
                item = line
            }
            if (item ~ /^-h,--help/) item = ""
            next
        }
        /^      *[^ ]/ { if (item != "") { sub(/^ +/, ""); text = text (text == "" ? "" : " ") $0 }; next }
        { flush() }
        END { flush(); if (section == "Examples") print ".fi"; print ".RE" }'
}

subcommands=$("$name" --help | awk '/^Subcommands:/ { on = 1; next } on && /^$/ { on = 0 }
                                    on && /^  [^ ]/ { print $1 }')
# The include's EXIT STATUS is written by hand: say when the program lists a
# code it does not explain.
codes=$("$name" --help | sed -n 's/^Exit codes: //p' | grep -oE '(^|, )[0-9]+' | grep -oE '[0-9]+' || true)
for code in $codes; do
    grep -qx "\.B $code" "$include" ||
        echo "make-man.sh: warning: $include has no EXIT STATUS text for $code ($name --help lists it)" >&2
done

# COMMANDS first: help2man places sections it does not know in the order met.
includes=()
if [ -n "$subcommands" ]; then
    {
        echo "[COMMANDS]"
        echo "Each command takes the options above as well as its own."
        for sub in $subcommands; do
            subcommand_roff "$sub"
        done
    } >"$work.h2m"
    includes+=(--include="$work.h2m")
fi
sed "s|@DATADIR@|$datadir|g" "$include" >"$work.include.h2m"
includes+=(--include="$work.include.h2m")

help2man --no-info --version-string="$version" "${includes[@]}" --output="$work" "$name"

# CLI11's option groups ("[Option Group: Faults]", its text, "Options:")
# become subsections rather than loose paragraphs.
awk '
    pending != "" && /^\.IP$/ { next }
    pending != "" && /^Options:$/ { pending = ""; next }
    pending != "" { print; next }
    /^\.PP$/ { held = $0; next }
    /^\[Option Group: .*\]$/ {
        sub(/^\[Option Group: /, ""); sub(/\]$/, "")
        printf ".SS \"%s\"\n", $0; pending = $0; held = ""; next
    }
    held != "" { print held; held = "" }
    { print }' "$work" >"$work.tmp"
mv "$work.tmp" "$work"
rm -f "$work.h2m" "$work.include.h2m"
gzip -9nf "$work"

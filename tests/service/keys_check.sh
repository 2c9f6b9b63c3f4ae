#!/usr/bin/env bash
# Every key of the configuration file (as xolhost config lists them) is in
# the example configuration, commented out in its own table, and in the
# docs' table of options and keys.
#   keys_check.sh XOLHOST SAMPLE DOC
set -euo pipefail
xolhost=$1
sample=$2
doc=$3

fail() {
    echo "keys_check: $*" >&2
    exit 1
}

keys=$("$xolhost" --json config | grep -oE '"[a-z_]+(\.[a-z_]+)?":\{"from"' | cut -d'"' -f2)
[ "$(wc -l <<<"$keys")" -gt 20 ] || fail "xolhost config lists too few keys: $keys"
for key in $keys; do
    table=
    name=$key
    if [[ $key == *.* ]]; then
        table=${key%%.*}
        name=${key#*.}
    fi
    # The lines of the key's table: before the first table for the top level.
    lines=$(awk -v table="$table" '
        /^\[[a-z]+\]$/ { current = substr($0, 2, length($0) - 2); next }
        current == table { print }' "$sample")
    grep -qE "^# $name = " <<<"$lines" || fail "the example has no \"# $name = \" in [${table:-top level}]"
    grep -qF "\`$key\`" "$doc" || fail "$doc does not name the key \`$key\`"
done
echo "keys: all $(wc -l <<<"$keys") in the example configuration and the docs"

#!/bin/sh
# The module must define exactly one dynamic symbol: the function XolMain.
set -eu
module=$1
symbols=$(nm -D --defined-only "$module" | awk '{print $2 " " $3}')
if [ "$symbols" != "T XolMain" ]; then
    echo "unexpected exports in $module:" >&2
    echo "$symbols" >&2
    exit 1
fi
echo "exports: $symbols"

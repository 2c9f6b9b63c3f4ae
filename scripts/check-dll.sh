#!/bin/sh
# Checks xolest.dll as a Windows host sees it: exactly one export, the
# undecorated XolMain, and imports from nothing but KERNEL32.dll, the C
# runtime (msvcrt.dll or api-ms-win-crt-*.dll) and the host's KELDOR.dll,
# from which it takes err and nothing else.
#
# usage: check-dll.sh DLL [OBJDUMP]   (OBJDUMP defaults to i686-w64-mingw32-objdump)
set -eu

dll=$1
objdump=${2:-i686-w64-mingw32-objdump}
dump=$("$objdump" -p "$dll")
status=0

# Export names: the lines after "[Ordinal/Name Pointer] Table" up to a blank line.
exports=$(printf '%s\n' "$dump" |
    awk '/^\[Ordinal\/Name Pointer\] Table/ {on = 1; next}
         on && /^[[:space:]]*$/ {on = 0}
         on {print $NF}')
if [ "$exports" != "XolMain" ]; then
    echo "$dll: exports must be exactly XolMain, found:" >&2
    printf '%s\n' "$exports" >&2
    status=1
fi

dlls=$(printf '%s\n' "$dump" | awk '/DLL Name:/ {print $3}')
for name in $dlls; do
    case $(printf '%s' "$name" | tr '[:upper:]' '[:lower:]') in
    kernel32.dll | msvcrt.dll | api-ms-win-crt-*.dll | keldor.dll) ;;
    *)
        echo "$dll: unexpected import from $name" >&2
        status=1
        ;;
    esac
done

keldor=$(printf '%s\n' "$dump" |
    awk '/DLL Name:/ {on = (tolower($3) == "keldor.dll"); next}
         on && /^[[:space:]]*$/ {on = 0}
         on && !/Hint\/Ord/ {print $NF}')
if [ "$keldor" != "err" ]; then
    echo "$dll: must import err, and only err, from KELDOR.dll; found:" >&2
    printf '%s\n' "$keldor" >&2
    status=1
fi

if [ "$status" -eq 0 ]; then
    echo "$dll: exports XolMain; imports from" $dlls
fi
exit "$status"

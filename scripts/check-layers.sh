#!/usr/bin/env bash
# Fails when a source file includes what its floor may not use.
#
# Every include is resolved to its file: a quoted one in the including file's
# own folder first, then in the include roots of its tree; an angle one in
# the include roots only. A quoted include that names no file of the
# repository, or names two, is an error; an angle include that names none is
# an external header (the C++ library, the system, fmt, ...).
#
# Usage: scripts/check-layers.sh [SOURCE_ROOT]   (default: this checkout)
set -euo pipefail
cd "${1:-$(dirname "$0")/..}"

# The trees: where their includes are looked for, after the including file's
# own folder, and what every unit of the tree may include. "." is the
# repository's top, where the codec's headers are "codec/*.h".
#
# tree     | include roots       | open to every unit of the tree
TREES='
src        | src include         | include/xolest
host       | host include sim .  | codec include
sim        | sim include .       | codec include
codec      | include .           | include/xolest/xolest.h
include    | include             |
'

# Who may use whom. A unit is a folder or a file of its tree; a file belongs
# to the most specific unit it lies in, and may include the files of its own
# unit and of the units listed (and what its tree opens to all).
#
# The module's floors run top to bottom, core being the ground floor; the
# host program's folders are one library each.
#
# tree      unit            may also include
UNITS='
src         interface       points protocol serial core
src         points          protocol serial core
src         protocol        serial core
src         serial          core
src         core            -

host        main.cpp        commands serve outputs journal sinks supervision line present module platform
host        commands        serve outputs journal sinks supervision line present module platform
host        serve           outputs journal sinks supervision line present module platform
host        outputs         journal sinks supervision line present module platform
host        journal         sinks supervision line present module platform
host        sinks           supervision line present module platform
host        supervision     line module platform
host        line            present module platform
host        present         module platform
host        module          platform
host        platform        -

sim         .               -
codec       .               -
include     .               -
'

# Headers (or folders) with few users: only the files named may include
# them, whatever their floors allow otherwise.
#
# header                    its only users
NARROW='
src/serial/serial.h         src/serial/* src/protocol/frame.cpp src/interface/channel.cpp
src/serial/port.h           src/serial/serial.h src/serial/serial.cpp src/serial/port_*.cpp
sim                         sim/* host/line/simulator_posix.cpp
'

declare -A roots open allowed
declare -a tree_names=() unit_keys=() narrow_heads=() narrow_users=()
while IFS='|' read -r tree tree_roots tree_open; do
    tree=${tree// /}
    [ -n "$tree" ] || continue
    tree_names+=("$tree")
    roots[$tree]=$tree_roots
    open[$tree]=$tree_open
done <<<"$TREES"
while read -r tree unit rest; do
    [ -n "$tree" ] || continue
    key=$tree/$unit
    [ "$unit" = . ] && key=$tree
    unit_keys+=("$key")
    list=""
    for other in $rest; do
        [ "$other" = - ] || list+=" $tree/$other"
    done
    allowed[$key]=$list
done <<<"$UNITS"
while read -r head users; do
    [ -n "$head" ] || continue
    narrow_heads+=("$head")
    narrow_users+=("$users")
done <<<"$NARROW"

# Sets REPLY to the path with "." and ".." worked out; fails above the top.
normalize() {
    local IFS=/ part
    local -a parts kept=()
    read -ra parts <<<"$1"
    for part in "${parts[@]}"; do
        case $part in
        '' | .) ;;
        ..)
            [ ${#kept[@]} -gt 0 ] || return 1
            unset 'kept[-1]'
            ;;
        *) kept+=("$part") ;;
        esac
    done
    REPLY="${kept[*]}"
}

# True when path is entry itself or lies under the folder entry.
under() {
    [ "$1" = "$2" ] || [[ $1 == "$2"/* ]]
}

# Sets REPLY to the most specific unit the path lies in, or "" for none.
unit_of() {
    local key best=""
    for key in "${unit_keys[@]}"; do
        if under "$1" "$key" && [ ${#key} -gt ${#best} ]; then
            best=$key
        fi
    done
    REPLY=$best
}

# Sets REPLY to why file may not include target, or "" when it may.
verdict() {
    local file=$1 target=$2 unit=$3 tree=${1%%/*} i pattern entry
    local -a patterns
    for i in "${!narrow_heads[@]}"; do
        if under "$target" "${narrow_heads[$i]}"; then
            read -ra patterns <<<"${narrow_users[$i]}"
            for pattern in "${patterns[@]}"; do
                # shellcheck disable=SC2053 # the users are glob patterns
                if [[ $file == $pattern ]]; then
                    REPLY=""
                    return
                fi
            done
            REPLY="only ${narrow_users[$i]} may include ${narrow_heads[$i]}"
            return
        fi
    done
    for entry in "$unit" ${open[$tree]} ${allowed[$unit]}; do
        if under "$target" "$entry"; then
            REPLY=""
            return
        fi
    done
    unit_of "$target"
    REPLY="$unit may not use ${REPLY:-$target}"
}

mapfile -t files < <(find "${tree_names[@]}" -type f \
    \( -name '*.cpp' -o -name '*.h' -o -name '*.c' -o -name '*.hpp' \) 2>/dev/null | sort)

# Where a bare name lies, to say what an include that names no file meant.
declare -A by_name
for file in "${files[@]}"; do
    by_name[${file##*/}]+=" $file"
done

problems=0
problem() {
    echo "layers: $*" >&2
    problems=$((problems + 1))
}

declare -A unit_of_file
for file in "${files[@]}"; do
    unit_of "$file"
    unit_of_file[$file]=$REPLY
    [ -n "$REPLY" ] || problem "$file lies in no known floor"
done

# file, line, quote or angle, name: one row per include of every file.
while IFS=$'\t' read -r file line kind name; do
    unit=${unit_of_file[$file]}
    [ -n "$unit" ] || continue
    tree=${file%%/*}
    candidates=()
    if [ "$kind" = '"' ] && normalize "${file%/*}/$name" && [ -f "$REPLY" ]; then
        candidates=("$REPLY")
    else
        for root in ${roots[$tree]}; do
            if normalize "$root/$name" && [ -f "$REPLY" ] &&
                [[ " ${candidates[*]} " != *" $REPLY "* ]]; then
                candidates+=("$REPLY")
            fi
        done
    fi
    where="$file:$line: \"$name\""
    if [ ${#candidates[@]} -eq 0 ]; then
        if [ "$kind" = '"' ]; then
            hint=${by_name[${name##*/}]:-}
            problem "$where names no file of the repository${hint:+ (there is$hint)}"
        fi
        continue
    fi
    if [ ${#candidates[@]} -gt 1 ]; then
        problem "$where names two files: ${candidates[*]}"
        continue
    fi
    verdict "$file" "${candidates[0]}" "$unit"
    [ -z "$REPLY" ] || problem "$where is ${candidates[0]}: $REPLY"
done < <(awk '
    match($0, /^[ \t]*#[ \t]*include[ \t]*["<][^">]+[">]/) {
        text = substr($0, RSTART, RLENGTH)
        sub(/^[ \t]*#[ \t]*include[ \t]*/, "", text)
        kind = substr(text, 1, 1) == "\"" ? "\"" : "<"
        printf "%s\t%d\t%s\t%s\n", FILENAME, FNR, kind, substr(text, 2, length(text) - 2)
    }' "${files[@]}")

if [ "$problems" -ne 0 ]; then
    echo "layers: $problems problem(s)" >&2
    exit 1
fi
echo "layers: every include resolves to one file its floor may use (${#files[@]} files)"

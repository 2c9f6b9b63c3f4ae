# Bash completion for xolhost and xolpanel (installed once under each name).
# Commands, options and option values are read from the program's own --help
# (CLI11's layout) at each completion, so they follow the program.

# The options of a help text, one line per name (short and long):
# "name<TAB>value usage<TAB>text". The usage is empty for a flag.
_xolest_options() {
    awk -v OFS='\t' '
        function flush() {
            if (names != "") {
                n = split(names, each, ",")
                for (i = 1; i <= n; ++i) print each[i], usage, text
            }
            names = ""
        }
        /^ +-/ {
            flush()
            line = $0
            sub(/^ +/, "", line)
            names = line; sub(/ .*/, "", names)
            rest = substr(line, length(names) + 1)
            usage = rest; sub(/^ /, "", usage); sub(/  .*/, "", usage); sub(/ Excludes:.*/, "", usage)
            text = ""
            if (match(rest, /[^ ]  +[^ ]/)) text = substr(rest, RSTART + 1); sub(/^ +/, "", text)
            next
        }
        names != "" && /^      +[^ ]/ { line = $0; sub(/^ +/, "", line); text = text " " line; next }
        { flush() }
        END { flush() }'
}

# The values an option takes, one a line, from its usage and text: "{a,b}" or
# "a|b" in the usage, or a list after the colon of a text such as
# "Parity: none, odd, even (default: ...)" for a usage that only names the value.
_xolest_choices() {
    local usage=$1 text=$2 list
    case $usage in
    *"{"*"}"*)
        list=${usage#*\{}
        tr ',' '\n' <<<"${list%%\}*}"
        ;;
    *"|"*)
        tr '|' '\n' <<<"${usage%%[ =]*}"
        ;;
    [A-Z]*)
        [[ $usage == TEXT* || $usage == *:* ]] && return
        list=${text#*: }
        [ "$list" != "$text" ] || return
        list=${list%% (*}
        sed -E 's/,? or /, /g; s/, /\n/g' <<<"$list" | grep -xE '[^ ]+'
        ;;
    esac
}

# Whether an option's usage names a file or a folder: "FILE", "PATH",
# "[SCENARIO]", "FILE:FILE" (CLI11 adds the check's name to the type's).
_xolest_takes_file() {
    local first=${1%% *}
    first=${first#[}
    case $first in
    FILE* | PATH* | DIR* | SCENARIO* | RECORDING* | *:FILE*) return 0 ;;
    esac
    return 1
}

# The serial ports that exist: links by id, USB and ACM adapters, the ttyS
# ports that have a UART behind them (the kernel makes ttyS0..31 whether or
# not), and the pseudo-terminals this user owns (a simulator's), but not this
# shell's own terminal, which xolhost refuses. Given as a port option takes
# them: without /dev/ unless the word so far starts with /.
_xolest_ports() {
    local cur=$1 dev own
    own=$(tty 2>/dev/null || true)
    local -a ports=()
    while IFS= read -r dev; do
        case $dev in
        /dev/ttyS*)
            [ "$(cat "/sys/class/tty/${dev#/dev/}/type" 2>/dev/null || echo 0)" != 0 ] || continue
            ;;
        /dev/pts/*)
            [ -O "$dev" ] && [ "$dev" != "$own" ] || continue
            ;;
        esac
        [ -c "$dev" ] || continue
        if [[ $cur == /* ]]; then ports+=("$dev"); else ports+=("${dev#/dev/}"); fi
    done < <(compgen -G '/dev/serial/by-id/*'
        compgen -G '/dev/ttyUSB*'
        compgen -G '/dev/ttyACM*'
        compgen -G '/dev/ttyS*'
        compgen -G '/dev/pts/[0-9]*')
    ((${#ports[@]})) || return 0
    compgen -W "${ports[*]}" -- "$cur"
}

# What write takes next, given its words so far: an address (the system
# points, and the control points a --site file names), then the values the
# address's kind takes, read from write's own help ("Values each kind takes").
# "!" is written "\!", so that bash takes it for itself, not the history.
_xolest_write_words() {
    local program=$1 cur=$2 site=$3 address=$4
    cur=${cur#\'}
    cur=${cur#\\}
    if [ -z "$address" ]; then
        local words='!D !R !S !Z'
        if [ -n "$site" ] && [ -r "$site" ]; then
            words+=" $(grep -oE '"[LlTtQqAaOoXx][0-9]{4,6}"' "$site" | tr -d '"' | sort -u | tr '\n' ' ')"
        fi
        compgen -W "$words" -- "$cur" | sed 's/^!/\\!/'
        return 0
    fi
    address=${address#\'}
    address=${address%\'}
    address=${address#\\}
    local kind=${address:0:1}
    [ "$kind" = '!' ] && kind=${address:0:2}
    kind=${kind^^}
    local line
    line=$("$program" write --help 2>/dev/null |
        awk -v kind="$kind" '/^Values each kind takes/ { on = 1; next } on && /^$/ { exit }
            on { split($0, part, /   +/); n = split(part[1], kinds, /[ ,]+/)
                 for (i = 1; i <= n; ++i) if (kinds[i] == kind) { print part[2]; exit } }')
    case $line in
    *"any value"*) compgen -W 0 -- "$cur" ;;
    *) compgen -W "$(grep -oE '[0-9]+ \(' <<<"$line" | tr -d ' (')" -- "$cur" ;;
    esac
}

_xolest_complete() {
    local program=${COMP_WORDS[0]} cur=${COMP_WORDS[COMP_CWORD]} prev="" back=1
    # "--parity=ev" arrives as "--parity" "=" "ev".
    if [ "$cur" = "=" ]; then
        cur=""
        back=0
    fi
    if ((COMP_CWORD - back > 0)); then
        prev=${COMP_WORDS[COMP_CWORD - back]}
        if [ "$prev" = "=" ] && ((COMP_CWORD - back > 1)); then
            prev=${COMP_WORDS[COMP_CWORD - back - 1]}
        fi
    fi
    local help
    help=$("$program" --help 2>/dev/null) || return 0

    # The command (xolhost's subcommands): the first word that names one.
    local commands command="" word
    commands=$(awk '/^Subcommands:/ { on = 1; next } on && /^$/ { on = 0 }
                    on && /^  [^ ]/ { print $1 }' <<<"$help")
    for word in "${COMP_WORDS[@]:1:COMP_CWORD-1}"; do
        if [ -n "$word" ] && grep -qxF -- "$word" <<<"$commands"; then
            command=$word
            break
        fi
    done
    if [ -n "$command" ]; then
        help+=$'\n'$("$program" "$command" --help 2>/dev/null)
    fi
    local options
    options=$(_xolest_options <<<"$help")

    # The value of an option: a port, its choices, a file where it takes one,
    # nothing for a number or anything else.
    if [[ $prev == -* ]]; then
        local usage text
        usage=$(awk -F '\t' -v name="$prev" '$1 == name { print $2; exit }' <<<"$options")
        text=$(awk -F '\t' -v name="$prev" '$1 == name { print $3; exit }' <<<"$options")
        if [ -n "$usage" ]; then
            local choices
            choices=$(_xolest_choices "$usage" "$text")
            if [[ $prev == -p || $prev == --port || $prev == --device ]]; then
                mapfile -t COMPREPLY < <(_xolest_ports "$cur")
            elif [ -n "$choices" ]; then
                mapfile -t COMPREPLY < <(compgen -W "$choices" -- "$cur")
            elif _xolest_takes_file "$usage"; then
                compopt -o filenames 2>/dev/null || true
                mapfile -t COMPREPLY < <(compgen -f -- "$cur")
            else
                COMPREPLY=()
            fi
            return 0
        fi
    fi

    if [[ $cur == -* ]]; then
        mapfile -t COMPREPLY < <(compgen -W "$(cut -f1 <<<"$options" | sort -u)" -- "$cur")
    elif [ -n "$commands" ] && [ -z "$command" ]; then
        mapfile -t COMPREPLY < <(compgen -W "$commands" -- "$cur")
    elif [ -z "$commands" ]; then
        # xolpanel's one argument: a scenario file.
        mapfile -t COMPREPLY < <(compgen -f -- "$cur")
    elif [ "$command" = write ]; then
        # The words after the command that are neither options nor their
        # values: the address, then the value.
        local i=1 site="" address="" count=0 seen="" usage
        while ((i < COMP_CWORD)); do
            word=${COMP_WORDS[i]}
            if [[ $word == -* ]]; then
                usage=$(awk -F '\t' -v name="$word" '$1 == name { print $2; exit }' <<<"$options")
                if [ "${COMP_WORDS[i + 1]:-}" = "=" ]; then
                    [ "$word" = --site ] && site=${COMP_WORDS[i + 2]:-}
                    ((i += 3))
                    continue
                fi
                if [ -n "$usage" ] && [[ $usage != "["* ]]; then
                    [ "$word" = --site ] && site=${COMP_WORDS[i + 1]:-}
                    ((i += 2))
                    continue
                fi
            elif [ -z "$seen" ]; then
                [ "$word" = "$command" ] && seen=1
            else
                [ -n "$address" ] || address=$word
                ((count += 1))
            fi
            ((i += 1))
        done
        if ((count < 2)); then
            mapfile -t COMPREPLY < <(_xolest_write_words "$program" "$cur" "$site" "$address")
        else
            COMPREPLY=()
        fi
    else
        # Read and check: addresses are the site's own; nothing to offer.
        COMPREPLY=()
    fi
    return 0
}

complete -F _xolest_complete xolhost xolpanel

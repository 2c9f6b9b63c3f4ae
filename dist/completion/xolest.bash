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

    # The value of an option: its choices, a file for a text, nothing for a
    # number or anything else.
    if [[ $prev == -* ]]; then
        local usage text
        usage=$(awk -F '\t' -v name="$prev" '$1 == name { print $2; exit }' <<<"$options")
        text=$(awk -F '\t' -v name="$prev" '$1 == name { print $3; exit }' <<<"$options")
        if [ -n "$usage" ]; then
            local choices
            choices=$(_xolest_choices "$usage" "$text")
            if [ -n "$choices" ]; then
                mapfile -t COMPREPLY < <(compgen -W "$choices" -- "$cur")
            elif [[ $usage == TEXT* ]]; then
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
    else
        # Point addresses and values: nothing to offer.
        COMPREPLY=()
    fi
    return 0
}

complete -F _xolest_complete xolhost xolpanel

# Bash completion for velmora-cli. The commands, options and fixed values come from the program's
# own --help (read once per command and shell), so completion never lags behind the program.

_velmora_cli_help() {
    local command=$1 cache_name="_velmora_cli_help_${1:-main}"
    if [[ -z "${!cache_name:-}" ]]; then
        printf -v "$cache_name" '%s' "$(QT_QPA_PLATFORM=offscreen velmora-cli $command --help 2>/dev/null)"
    fi
    printf '%s\n' "${!cache_name}"
}

_velmora_cli() {
    COMPREPLY=()
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}
    local commands="tune filter profiles master" command="" word
    for word in "${COMP_WORDS[@]:1:COMP_CWORD-1}"; do
        case " $commands " in *" $word "*) command=$word; break ;; esac
    done
    if [[ -z "$command" ]]; then
        if [[ "$cur" == -* ]]; then
            COMPREPLY=($(compgen -W "--help --version" -- "$cur"))
        else
            COMPREPLY=($(compgen -W "$commands" -- "$cur"))
        fi
        return
    fi
    local help
    help=$(_velmora_cli_help "$command")
    if [[ "$prev" == --* ]]; then
        # "--mode <plain|offset|scale|gain>": the fixed values; "--map <FILE>": a path.
        local value
        value=$(grep -oE -- "(^|[ ,])$prev <[^>]*>" <<<"$help" | head -1 | sed 's/.*<\(.*\)>/\1/')
        if [[ "$value" == *"|"* ]]; then
            COMPREPLY=($(compgen -W "${value//|/ }" -- "$cur"))
            return
        elif [[ "$value" =~ ^(N|K|PERCENT|RADIUS|MM|M|TEXT|SIZE|centre)$ ]]; then
            return
        elif [[ -n "$value" ]]; then
            COMPREPLY=($(compgen -f -- "$cur"))
            compopt -o filenames 2>/dev/null
            return
        fi
    fi
    if [[ "$cur" == -* ]]; then
        COMPREPLY=($(compgen -W "$(grep -oE -- '--[a-z][a-z0-9-]*' <<<"$help" | sort -u)" -- "$cur"))
        return
    fi
    COMPREPLY=($(compgen -f -- "$cur"))
    compopt -o filenames 2>/dev/null
}

complete -F _velmora_cli velmora-cli

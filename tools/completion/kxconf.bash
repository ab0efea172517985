# bash completion for kxconf: commands, options, and the section and
# subsection names of the file being worked on.

_kxconf_file_args() {
    # The -f/--file given so far, to ask kxconf about the same file.
    local i
    for ((i = 1; i < COMP_CWORD; i++)); do
        case ${COMP_WORDS[i]} in
            -f | --file) printf '%s\n' -f "${COMP_WORDS[i + 1]}"; return ;;
            --file=*) printf '%s\n' -f "${COMP_WORDS[i]#--file=}"; return ;;
        esac
    done
}

# SECTION or SECTION/SUBSECTION, from the file's own names.
_kxconf_places() {
    local cur=$1 section names
    local -a file_args subsections
    mapfile -t file_args < <(_kxconf_file_args)
    if [[ $cur == */* ]]; then
        section=${cur%%/*}
        mapfile -t subsections < <(kxconf "${file_args[@]}" sections "$section" 2>/dev/null)
        names=${subsections[*]/#/$section/}
    else
        names=$(kxconf "${file_args[@]}" sections 2>/dev/null)
    fi
    COMPREPLY=($(compgen -W "$names" -- "$cur"))
}

_kxconf() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}
    local commands="get set unset list sections check cksum"
    local command="" i positional=0
    for ((i = 1; i < COMP_CWORD; i++)); do
        case ${COMP_WORDS[i]} in
            -f | --file | --wait | --instance | --format | -s | --name) ((i++)) ;;
            -*) ;;
            *)
                if [[ -z $command ]]; then command=${COMP_WORDS[i]}; else ((positional++)); fi
                ;;
        esac
    done

    case $prev in
        -f | --file | -s) COMPREPLY=($(compgen -f -- "$cur")); return ;;
        --format) COMPREPLY=($(compgen -W "text json sh" -- "$cur")); return ;;
        --wait | --instance | --name) return ;;
    esac

    if [[ -z $command ]]; then
        COMPREPLY=($(compgen -W "$commands -f --file --wait --help --version" -- "$cur"))
        return
    fi
    local options
    case $command in
        get) options="--instance --all --raw" ;;
        set) options="--instance --add" ;;
        unset) options="--instance --all" ;;
        list) options="--format --raw" ;;
        check) options="-s" ;;
        cksum) options="--name --verify" ;;
    esac
    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "$options" -- "$cur"))
        return
    fi
    case $command:$positional in
        get:0 | set:0 | unset:0 | list:0 | cksum:0) _kxconf_places "$cur" ;;
        sections:0) _kxconf_places "${cur%%/*}" ;;
    esac
}

complete -F _kxconf kxconf

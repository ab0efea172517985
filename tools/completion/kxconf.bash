# bash completion for kxconf: commands, options, and the section,
# subsection and keyword names of the file being worked on.

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

# The keywords of PLACE.
_kxconf_keywords() {
    local place=$1 cur=$2
    local -a file_args
    mapfile -t file_args < <(_kxconf_file_args)
    local names
    names=$(kxconf "${file_args[@]}" list "$place" --raw 2>/dev/null | while read -r _ keyword _; do
        printf '%s\n' "$keyword"
    done | sort -u)
    COMPREPLY=($(compgen -W "$names" -- "$cur"))
}

_kxconf() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}
    local commands="get set unset delete rename apply list sections check cksum"
    local command="" place="" i positional=0
    for ((i = 1; i < COMP_CWORD; i++)); do
        case ${COMP_WORDS[i]} in
            -f | --file | --wait | --instance | --format | -s | --name) ((i++)) ;;
            -*) ;;
            *)
                if [[ -z $command ]]; then
                    command=${COMP_WORDS[i]}
                else
                    ((positional++ == 0)) && place=${COMP_WORDS[i]}
                fi
                ;;
        esac
    done

    case $prev in
        -f | --file | -s) COMPREPLY=($(compgen -f -- "$cur")); return ;;
        --format)
            [[ $command == apply ]] && COMPREPLY=($(compgen -W "text json" -- "$cur")) ||
                COMPREPLY=($(compgen -W "text json sh" -- "$cur"))
            return
            ;;
        --wait | --instance | --name) return ;;
    esac

    if [[ -z $command ]]; then
        COMPREPLY=($(compgen -W "$commands -f --file --wait --help --version" -- "$cur"))
        return
    fi
    local options edits="--verbose --dry-run"
    case $command in
        get) options="--instance --all --raw" ;;
        set) options="--instance --add --existing $edits" ;;
        unset) options="--instance --all $edits" ;;
        delete | rename) options=$edits ;;
        apply) options="--format --existing $edits" ;;
        list) options="--format --raw" ;;
        check) options="-s" ;;
        cksum) options="--name --verify" ;;
    esac
    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "$options" -- "$cur"))
        return
    fi
    case $command:$positional in
        get:0 | set:0 | unset:0 | delete:0 | rename:0 | list:0 | cksum:0) _kxconf_places "$cur" ;;
        get:1 | set:1 | unset:1) _kxconf_keywords "$place" "$cur" ;;
        apply:0) COMPREPLY=($(compgen -f -- "$cur")) ;;
        sections:0) _kxconf_places "${cur%%/*}" ;;
    esac
}

complete -F _kxconf kxconf

# bash completion for config_upgrade and config_check: their options, and
# file names where an option takes a file.

_kx_config_options() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}
    local options=$1 file_options=$2 value_options=$3
    if [[ " $file_options " == *" $prev "* ]]; then
        COMPREPLY=($(compgen -f -- "$cur"))
    elif [[ " $value_options " == *" $prev "* ]]; then
        COMPREPLY=()
    else
        COMPREPLY=($(compgen -W "$options" -- "$cur"))
    fi
}

_config_upgrade() {
    _kx_config_options "-c -C -u -s -S -v -V -o -X -T -n -d -D -h --help --version" \
        "-c -C -u -s -S -o" "-v -V"
    case ${COMP_WORDS[COMP_CWORD - 1]} in
        -d) COMPREPLY=($(compgen -W "1 2 3" -- "${COMP_WORDS[COMP_CWORD]}")) ;;
        -D) COMPREPLY=($(compgen -W "show_args show_funcs show_detail" -- "${COMP_WORDS[COMP_CWORD]}")) ;;
    esac
}

_config_check() {
    _kx_config_options "-c -s -z -h --help --version" "-c -s" ""
}

complete -F _config_upgrade config_upgrade
complete -F _config_check config_check

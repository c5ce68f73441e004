# bash completion for datmend: the options before the first file name, a file name after -m and
# --mapfile, and file names everywhere else; after -- only file names. Installed as
# share/bash-completion/completions/datmend, or read into a shell with `source`.

_datmend() {
    local cur=${COMP_WORDS[COMP_CWORD]} i=1 options=1 prefix=''
    # The words before the cursor's, up to -- or the first file name. The word after -m or
    # --mapfile is a mapfile's name; so is the one after --mapfile=, which bash splits into
    # --mapfile, = and the name while = is one of its word breaks, as it is by default.
    while ((i < COMP_CWORD)); do
        case ${COMP_WORDS[i]} in
            -m | --mapfile)
                [[ ${COMP_WORDS[i + 1]} == = ]] && ((i++))
                ((i += 2))
                ;;
            --mapfile=* | -r | --repair) ((i++)) ;;
            *) options=0 && break ;;
        esac
    done
    if ((i > COMP_CWORD)); then
        [[ $cur == = ]] && cur=''  # a mapfile's name, right after --mapfile=
    elif ((options)) && [[ $cur == --mapfile=* ]]; then
        prefix=--mapfile= cur=${cur#--mapfile=}  # = is not a word break
    elif ((options)) && [[ $cur == -* ]]; then
        mapfile -t COMPREPLY < <(compgen -W '-m --mapfile --mapfile= -r --repair --help --version --' -- "$cur")
        [[ ${COMPREPLY[*]} == --mapfile= ]] && compopt -o nospace
        return 0
    fi
    if declare -F _filedir >/dev/null; then
        _filedir  # bash-completion's own: quotes, ~ and folders as the shell treats them
    else
        compopt -o filenames
        mapfile -t COMPREPLY < <(compgen -f -- "$cur")
    fi
    COMPREPLY=("${COMPREPLY[@]/#/$prefix}")
}
complete -F _datmend datmend

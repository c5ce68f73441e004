# bash completion for datmend: options anywhere before --, a file name after -m, --mapfile, -l and
# --lost-map, and file names everywhere else; after -- only file names. The option words are those of the
# tool's own table of options, which the test suite holds this script to. Installed as
# share/bash-completion/completions/datmend, or read into a shell with `source`.

_datmend() {
    local cur=${COMP_WORDS[COMP_CWORD]} word i=1 options=1 prefix=''
    # The words before the cursor's: -- ends the options, and the word after -m, --mapfile, -l,
    # --lost-map (or a prefix of either, as getopt_long takes it) or a bundle of short options
    # whose first m or l is its last letter (-rm) is a file's name; so is the one after
    # --mapfile= or --lost-map=, which bash splits into the option, = and the name while = is one
    # of its word breaks, as it is by default.
    while ((i < COMP_CWORD)); do
        word=${COMP_WORDS[i]}
        if ((options)) && [[ $word == -- ]]; then
            options=0
        elif ((options)) && [[ ($word == --m* && --mapfile == "$word"*) ||
            ($word == --l* && --lost-map == "$word"*) || $word =~ ^-[^-ml]*[ml]$ ]]; then
            [[ ${COMP_WORDS[i + 1]} == = ]] && ((i++))
            ((i++))
        fi
        ((i++))
    done
    if ((i > COMP_CWORD)); then
        [[ $cur == = ]] && cur=''  # a mapfile's name, right after --mapfile=
    elif ((options)) && [[ $cur == --[ml]*=* ]]; then
        prefix=${cur%%=*}= cur=${cur#*=}  # = is not a word break
    elif ((options)) && [[ $cur == -* ]]; then
        mapfile -t COMPREPLY < <(compgen -W '-m --mapfile --mapfile= -r --repair -n --dry-run -l --lost-map --lost-map= -s --squeeze -q --quiet -h --help -V --version --' -- "$cur")
        [[ ${COMPREPLY[*]} == *= ]] && compopt -o nospace
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

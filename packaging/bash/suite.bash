# Completion of the suite's four tools for bash. One file serves them all:
# it is installed under octetTally's name and linked under the other tools'
# names, as bash-completion looks for a command's completion in a file named
# after it. Without bash-completion, source it from ~/.bashrc.

# Offers the options among "$@" that begin with the word $1; an option that
# takes its value after "=" keeps the cursor there.
_suite_options()
{
    local cur=$1
    shift
    mapfile -t COMPREPLY < <(compgen -W "$*" -- "$cur")
    if [[ ${#COMPREPLY[@]} -eq 1 && ${COMPREPLY[0]} == *= ]]; then
        compopt -o nospace
    fi
}

_suite_files()
{
    mapfile -t COMPREPLY < <(compgen -f -- "$1")
    compopt -o filenames
}

_suite_octetTally()
{
    local cur=${COMP_WORDS[COMP_CWORD]}
    COMPREPLY=()
    if [[ $cur == -* ]]; then
        _suite_options "$cur" -r -e -c -m -h -H -v -V --
    else
        _suite_files "$cur"
    fi
}

_suite_morphPhrase()
{
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}
    COMPREPLY=()
    case $prev in
        -u | --update-period | --seed) return ;;   # a number of tries, or a seed
    esac
    if [[ $cur == -* ]]; then
        _suite_options "$cur" -u --update-period -s --standard-input --seed \
            -h -H --help -v -V --version
    fi
}

_suite_blankfill()
{
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}
    COMPREPLY=()
    # The tab size is a number, after -n or after "--tab-size=" (which bash
    # splits at the "="), and so are the stops after -t or "--tabs=".
    if [[ $prev == -n || $prev == --tab-size || $prev == -t || $prev == --tabs ||
          ($prev == = && ${COMP_WORDS[COMP_CWORD-2]} == --tab-size) ||
          ($prev == = && ${COMP_WORDS[COMP_CWORD-2]} == --tabs) ]]; then
        return
    fi
    if [[ $cur == -* ]]; then
        _suite_options "$cur" -n --tab-size= -l --leading-only -i --in-place \
            -p --preserve-dates -V --verbose -u --utf8 -t --tabs= --check --diff \
            --editorconfig -h -H --help -v --version
    else
        _suite_files "$cur"
    fi
}

# lapwatch's own options, then the command's name, then what that command's
# completion offers.
_suite_lapwatch()
{
    local cur=${COMP_WORDS[COMP_CWORD]} i=1
    COMPREPLY=()
    # The report file after -o is a file name, and not the command.
    if [[ ${COMP_WORDS[COMP_CWORD-1]} == -o ]]; then
        _suite_files "$cur"
        return
    fi
    while [[ $i -lt $COMP_CWORD && ${COMP_WORDS[i]} == -* ]]; do
        if [[ ${COMP_WORDS[i]} == -- ]]; then
            ((i++))
            break
        fi
        [[ ${COMP_WORDS[i]} == -o ]] && ((i++))
        ((i++))
    done
    if [[ $i -lt $COMP_CWORD ]]; then
        if declare -F _command_offset >/dev/null; then
            _command_offset "$i"
        else
            _suite_files "$cur"
        fi
    elif [[ $cur == -* && ${COMP_WORDS[i-1]} != -- ]]; then
        _suite_options "$cur" -r -o -h -H -v -V --
    else
        mapfile -t COMPREPLY < <(compgen -c -- "$cur" | sort -u)
    fi
}

complete -F _suite_octetTally octetTally
complete -F _suite_morphPhrase morphPhrase
complete -F _suite_blankfill blankfill
complete -F _suite_lapwatch lapwatch

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
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}
    COMPREPLY=()
    case $prev in
        -b | --offset | --length | --high | --low) return ;;   # a size, or bits per byte
    esac
    if [[ $cur == -* ]]; then
        _suite_options "$cur" -r -e -c -m -j -b --offset --length --high --low -h -H -v -V --
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
# completion offers; in a series, the same again after each separator.
_suite_lapwatch()
{
    local cur=${COMP_WORDS[COMP_CWORD]} i=1 j separator=--- series=false
    COMPREPLY=()
    # The report and export files are file names, and not the command; the
    # counts, the time limit and the separator are the user's to type.
    case ${COMP_WORDS[COMP_CWORD-1]} in
        -o|--json|--csv) _suite_files "$cur"; return ;;
        -n|-w|-t|-S) return ;;
    esac
    while [[ $i -lt $COMP_CWORD && ${COMP_WORDS[i]} == -* ]]; do
        case ${COMP_WORDS[i]} in
            --) ((i++)); break ;;
            -S) separator=${COMP_WORDS[i+1]}; series=true; ((i++)) ;;
            -o) ((i++)) ;;
            -n|-w|-t|--json|--csv) series=true; ((i++)) ;;
            -i|-q) series=true ;;
        esac
        ((i++))
    done
    # A separator starts another command (only in a series).
    local first=$i
    if $series; then
        for ((j = COMP_CWORD - 1; j >= first; j--)); do
            if [[ ${COMP_WORDS[j]} == "$separator" ]]; then
                i=$((j + 1))
                break
            fi
        done
    fi
    if [[ $i -lt $COMP_CWORD ]]; then
        if declare -F _command_offset >/dev/null; then
            _command_offset "$i"
        else
            _suite_files "$cur"
        fi
    elif [[ $cur == -* && $i -eq $first && ${COMP_WORDS[i-1]} != -- ]]; then
        _suite_options "$cur" -r -o -h -H -v -V -- -n -w -i -t -q -S -a --json --csv
    else
        mapfile -t COMPREPLY < <(compgen -c -- "$cur" | sort -u)
    fi
}

complete -F _suite_octetTally octetTally
complete -F _suite_morphPhrase morphPhrase
complete -F _suite_blankfill blankfill
complete -F _suite_lapwatch lapwatch

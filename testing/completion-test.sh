#!/usr/bin/env bash
# Loads the suite's bash completion in a non-interactive bash, with
# bash-completion where it is installed, and checks what it offers for a
# few command lines; checks the fish and zsh completions the same way where
# those shells are installed.
set -uo pipefail
cd "$(dirname "$0")/.."
src=$PWD/packaging
here=$PWD/testing
failures=0
work=$(mktemp -d /tmp/suite-completion.XXXXXX)
trap 'rm -rf "$work"' EXIT

# bash: each case is a command line (the cursor at its end) and the words
# that must all be offered, or "-" for nothing at all. The line is split at
# blanks and, as readline does, around "=".
bash_cases=(
  'blankfill --tab-|--tab-size='
  'blankfill --tabs|--tabs='
  'blankfill --tab-size=|-'
  'blankfill -n |-'
  'blankfill --l|--leading-only'
  'blankfill sp|space name.txt'
  'octetTally -|-r -v -h'
  'octetTally sp|space name.txt'
  'morphPhrase --u|--update-period'
  'morphPhrase -u |-'
  'morphPhrase -|-s --standard-input --version'
  'lapwatch sl|sleep'
  'lapwatch -|-h -v --'
  'lapwatch -- sl|sleep'
  'lapwatch -v sl|sleep'
  'octetTally -|-e -c -m'
  'octetTally --o|--offset'
  'octetTally -|-j -b --length --high --low'
  'octetTally -b |-'
  'morphPhrase --se|--seed'
  'morphPhrase --seed |-'
  'blankfill --u|--utf8'
  'blankfill --ch|--check'
  'blankfill --e|--editorconfig'
  'blankfill --tabs=|-'
  'blankfill -t |-'
  'lapwatch -|-r -o'
  'lapwatch -o sp|space name.txt'
  'lapwatch -o out sl|sleep'
  'lapwatch -|-n -w -i -t -q -S -a --json --csv'
  'lapwatch --json sp|space name.txt'
  'lapwatch -n |-'
  'lapwatch -n 5 sl|sleep'
  'lapwatch -n 5 true --- sl|sleep'
  'lapwatch -S :: true :: sl|sleep'
)
have_bash_completion=false
if [ -f /usr/share/bash-completion/bash_completion ]; then
  have_bash_completion=true
  # Through lapwatch to the command's own completion.
  bash_cases+=('lapwatch blankfill --tab-|--tab-size=' 'lapwatch -- morphPhrase --s|--standard-input')
else
  echo "completion-test: SKIP completion through lapwatch to its command: bash-completion is not installed"
fi

touch "$work/space name.txt" "$work/other"
cd "$work"
for case in "${bash_cases[@]}"; do
  line=${case%%|*}
  want=${case#*|}
  got=$(HAVE_BC=$have_bash_completion SRC=$src LINE=$line bash --norc --noprofile -c '
    if [ "$HAVE_BC" = true ]; then source /usr/share/bash-completion/bash_completion; fi
    source "$SRC/bash/suite.bash"
    # compopt works only under readline; note what is asked for instead.
    compopt() { printf "compopt %s\n" "$*" >&2; }
    line=${LINE//=/ = }
    read -ra COMP_WORDS <<<"$line"
    [[ $line == *" " ]] && COMP_WORDS+=("")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMP_LINE=$LINE COMP_POINT=${#LINE}
    registered=$(complete -p "${COMP_WORDS[0]}")
    func=${registered#*-F }; func=${func%% *}
    "$func" "${COMP_WORDS[0]}" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD-1]}"
    printf "%s\n" "${COMPREPLY[@]}"' 2>"$work/stderr")
  ok=true
  if [ "$want" = - ]; then
    [ -z "$got" ] || ok=false
  elif [[ $want == *name.txt ]]; then
    grep -qx "$want" <<<"$got" || ok=false
  else
    for word in $want; do
      grep -qx -- "$word" <<<"$got" || ok=false
    done
  fi
  # A value after "=" keeps the cursor at the "=".
  if [[ $want == *= ]] && ! grep -q "compopt -o nospace" "$work/stderr"; then ok=false; fi
  if $ok; then
    echo "completion-test: ok   bash '$line'"
  else
    echo "completion-test: FAIL bash '$line': wanted '$want', got: $(tr '\n' ' ' <<<"$got")"
    failures=$((failures + 1))
  fi
done

if command -v fish >/dev/null; then
  # Each case: a command line, then a word that the first field of one
  # completion must equal.
  fish_cases=('blankfill --t|--tab-size' 'blankfill --d|--diff' 'morphPhrase --s|--standard-input' 'octetTally -|-r'
              'lapwatch sl|sleep' 'lapwatch blankfill --t|--tab-size'
              'lapwatch --js|--json'
              'octetTally --o|--offset')
  for case in "${fish_cases[@]}"; do
    line=${case%%|*}
    want=${case#*|}
    got=$(SRC=$src LINE=$line fish --no-config -c '
      for f in $SRC/fish/*.fish; source $f; end
      complete -C "$LINE"' 2>&1 | cut -f1)
    if grep -qx -- "$want" <<<"$got"; then
      echo "completion-test: ok   fish '$line'"
    else
      echo "completion-test: FAIL fish '$line': wanted '$want', got: $(tr '\n' ' ' <<<"$got")"
      failures=$((failures + 1))
    fi
  done
else
  echo "completion-test: SKIP fish: not installed"
fi

if command -v zsh >/dev/null; then
  # zsh completes only in an interactive shell, which the driver runs on a
  # pseudo-terminal.
  zsh_cases=('blankfill --tab-|--tab-size=' 'blankfill --ed|--editorconfig' 'morphPhrase --st|--standard-input' 'octetTally -|-r'
             'lapwatch sl|sleep' 'lapwatch blankfill --tab-|--tab-size='
             'lapwatch --cs|--csv'
             'octetTally --o|--offset=')
  zsh -f "$here/completion-test.zsh" "$src/zsh" "${zsh_cases[@]}" >"$work/zsh" 2>&1
  cat "$work/zsh"
  zsh_ok=$(grep -c "^completion-test: ok   zsh" "$work/zsh")
  if [ "$zsh_ok" -ne ${#zsh_cases[@]} ]; then
    failures=$((failures + ${#zsh_cases[@]} - zsh_ok))
  fi
else
  echo "completion-test: SKIP zsh: not installed"
fi

[ $failures -eq 0 ] || { echo "completion-test: $failures failed"; exit 1; }

# Driven by completion-test.sh: types each command line (the argument
# "line|word") with a tab into an interactive zsh on a pseudo-terminal, with
# the suite's completion loaded from the folder $1, and reports whether the
# completed line, or the list of what is offered, holds the word.
zmodload zsh/zpty
setopt extendedglob
local dir=$1 case line want out chunk i n=0
shift
zpty z 'zsh -f -i'
zpty -w z "PS1='%% '; fpath=($dir \$fpath); autoload -Uz compinit; compinit -u -D"
zpty -w z 'octetTally() { :; }; morphPhrase() { :; }; blankfill() { :; }; lapwatch() { :; }; print READY'
# Wait for the set-up to be done.
out=""
for i in {1..200}; do
  while zpty -r -t z chunk; do out+=$chunk; done
  [[ $out == *$'\nREADY'* ]] && break
  sleep 0.05
done
for case in "$@"; do
  line=${case%%|*} want=${case#*|} out=""
  zpty -w -n z "$line"$'\t'
  for i in {1..200}; do
    while zpty -r -t z chunk; do out+=$chunk; done
    out=${out//$'\e'\[[0-9;?]#[a-zA-Z]/}
    [[ $out == *$want* ]] && break
    sleep 0.05
  done
  if [[ $out == *$want* ]]; then
    print -r -- "completion-test: ok   zsh '$line'"
  else
    print -r -- "completion-test: FAIL zsh '$line': wanted '$want', got: ${(q)out}"
  fi
  # Abandon the line and wait until a command typed after it has run (its
  # output, unlike its echo, holds the sum).
  (( n++ ))
  zpty -w -n z $'\x15'"print \$((1000 + $n))ran"$'\n'
  out=""
  for i in {1..200}; do
    while zpty -r -t z chunk; do out+=$chunk; done
    [[ $out == *$((1000 + n))ran* ]] && break
    sleep 0.05
  done
done
zpty -d z

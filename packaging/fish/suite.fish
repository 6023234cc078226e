# Completion of the suite's four tools for fish. One file serves them all: it
# is installed under octetTally's name and linked under the others', since
# fish looks for a command's completion in a file named after it; the guard
# keeps a second load from adding every completion again.
if not set -q __byte_tool_suite_completions
    set -g __byte_tool_suite_completions 1

    complete -c octetTally -s r -d 'List the bytes in numeric order'
    complete -c octetTally -s e -d 'Add entropy, chi-square, mean and every other statistic'
    complete -c octetTally -s c -d 'Write a plain value,count table'
    complete -c octetTally -s m -d 'Draw the counts as a 16x16 map'
    complete -c octetTally -s j -d 'Write one JSON document'
    complete -c octetTally -s b -x -d 'Chart the entropy of blocks of SIZE bytes'
    complete -c octetTally -l offset -x -d 'Count from byte N on'
    complete -c octetTally -l length -x -d 'Count at most N bytes'
    complete -c octetTally -l high -x -d 'Rising edge threshold, bits per byte'
    complete -c octetTally -l low -x -d 'Falling edge threshold, bits per byte'
    complete -c octetTally -s h -s H -d 'Show the help text'
    complete -c octetTally -s v -s V -d 'Show the version'

    complete -c morphPhrase -f
    complete -c morphPhrase -s u -l update-period -x -d 'Show the line every N tries'
    complete -c morphPhrase -s s -l standard-input -d 'Read the phrase from standard input'
    complete -c morphPhrase -l seed -x -d 'Seed the generator from N (repeats a run)'
    complete -c morphPhrase -s h -s H -l help -d 'Show the help text'
    complete -c morphPhrase -s v -s V -l version -d 'Show the version'

    complete -c blankfill -s n -l tab-size -x -d 'Tab spacing'
    complete -c blankfill -s l -l leading-only -d 'Expand only leading tabs'
    complete -c blankfill -s i -l in-place -d 'Convert every named file in place'
    complete -c blankfill -s p -l preserve-dates -d 'Keep each file\'s times'
    complete -c blankfill -s V -l verbose -d 'Name each file converted'
    complete -c blankfill -s u -l utf8 -d 'Count columns by display width (UTF-8)'
    complete -c blankfill -s t -l tabs -x -d 'Tab stops (list of columns, /N or +N last)'
    complete -c blankfill -l check -d 'List the lines that would change, change nothing'
    complete -c blankfill -l diff -d 'Show the change as a unified diff, change nothing'
    complete -c blankfill -l editorconfig -d 'Take each file\'s tab width from .editorconfig'
    complete -c blankfill -s h -s H -l help -d 'Show the help text'
    complete -c blankfill -s v -l version -d 'Show the version'

    complete -c lapwatch -n __fish_is_first_arg -s r -d "Also show the command's CPU time and peak memory"
    complete -c lapwatch -n __fish_is_first_arg -s o -r -F -d 'Write the start time and the report to FILE'
    complete -c lapwatch -n __fish_is_first_arg -s n -x -d 'Run each command N times, show statistics'
    complete -c lapwatch -n __fish_is_first_arg -s w -x -d 'First run each command N times as warm-up'
    complete -c lapwatch -n __fish_is_first_arg -s i -d 'Count a run that fails and go on'
    complete -c lapwatch -n __fish_is_first_arg -s t -x -d 'End a run that lasts longer than SECONDS'
    complete -c lapwatch -n __fish_is_first_arg -s q -d "Send the command's standard output to /dev/null"
    complete -c lapwatch -n __fish_is_first_arg -s S -x -d 'Separate the commands by WORD instead of ---'
    complete -c lapwatch -n __fish_is_first_arg -s a -d 'Append to the report file of -o'
    complete -c lapwatch -n __fish_is_first_arg -l json -r -F -d 'Write every run and the summary as JSON'
    complete -c lapwatch -n __fish_is_first_arg -l csv -r -F -d 'Write every run and the summary as CSV'
    complete -c lapwatch -n __fish_is_first_arg -s h -s H -d 'Show the help text'
    complete -c lapwatch -n __fish_is_first_arg -s v -s V -d 'Show the version'
    complete -c lapwatch -x -a '(__fish_complete_subcommand)'
end

complete -c morphPhrase -f
complete -c morphPhrase -s u -l update-period -x -d 'Show the line every N tries'
complete -c morphPhrase -s s -l standard-input -d 'Read the phrase from standard input'
complete -c morphPhrase -s h -s H -l help -d 'Show the help text'
complete -c morphPhrase -s v -s V -l version -d 'Show the version'

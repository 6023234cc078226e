complete -c octetTally -s r -d 'List the bytes in numeric order'
complete -c octetTally -s h -s H -d 'Show the help text'
complete -c octetTally -s v -s V -d 'Show the version'

complete -c lapwatch -n __fish_is_first_arg -s h -s H -d 'Show the help text'
complete -c lapwatch -n __fish_is_first_arg -s v -s V -d 'Show the version'
complete -c lapwatch -x -a '(__fish_complete_subcommand)'

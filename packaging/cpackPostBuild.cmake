# Run by cpack on the packages it made. cpack gives the members of a .deb's
# ar archive the modes of its own temporary files, which follow the umask;
# every member's mode becomes rw-r--r--, as a .deb's members have, so that
# the package does not depend on the umask of whoever made it.
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  if(NOT package MATCHES "\\.deb$")
    continue()
  endif()
  file(SIZE "${package}" size)
  set(header 8)  # after "!<arch>\n"
  while(header LESS size)
    # A member header: name 16, date 12, owner 6, group 6, mode 8, size 10,
    # "`\n"; the member follows, padded to an even length.
    file(READ "${package}" fields OFFSET ${header} LIMIT 60)
    if(NOT fields MATCHES "`\n$")
      message(FATAL_ERROR "${package}: no ar member header at byte ${header}")
    endif()
    string(SUBSTRING "${fields}" 48 10 length)
    string(STRIP "${length}" length)
    math(EXPR mode_at "${header} + 40")
    execute_process(COMMAND sh -c "printf '100644  ' | dd of=\"$0\" bs=1 seek=$1 conv=notrunc status=none"
                            "${package}" ${mode_at}
                    COMMAND_ERROR_IS_FATAL ANY)
    math(EXPR header "${header} + 60 + ${length} + ${length} % 2")
  endwhile()
endforeach()

# Removes the files that "cmake --install" put in place, as its manifest
# (MANIFEST) lists them, and nothing else: folders stay.
if(NOT EXISTS "${MANIFEST}")
  message(FATAL_ERROR "Nothing to uninstall: ${MANIFEST} is missing; it is written by cmake --install.")
endif()
file(STRINGS "${MANIFEST}" files)
foreach(file IN LISTS files)
  if(IS_SYMLINK "${file}" OR EXISTS "${file}")
    message(STATUS "Removing ${file}")
    file(REMOVE "${file}")
  else()
    message(STATUS "Already gone: ${file}")
  endif()
endforeach()

# Run by cpack on the staged files before it packs them. Folder modes follow
# no umask: every folder is rwxr-xr-x, as the files' modes are fixed by the
# install. The executables lose the compiler's .comment section, which they
# do not need. The .deb alone gets the lintian override of the static
# executables, where lintian looks for it, and leaves out the licence file,
# which its copyright file holds already.
file(GLOB_RECURSE folders LIST_DIRECTORIES true "${CPACK_TEMPORARY_DIRECTORY}/*")
list(APPEND folders "${CPACK_TEMPORARY_DIRECTORY}")
foreach(path IN LISTS folders)
  if(IS_DIRECTORY "${path}" AND NOT IS_SYMLINK "${path}")
    file(CHMOD "${path}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
         GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  endif()
endforeach()
file(GLOB executables "${CPACK_TEMPORARY_DIRECTORY}/bin/*" "${CPACK_TEMPORARY_DIRECTORY}/usr/bin/*")
if(executables AND CPACK_SUITE_STRIP)
  execute_process(COMMAND "${CPACK_SUITE_STRIP}" --remove-section=.comment ${executables}
                  COMMAND_ERROR_IS_FATAL ANY)
endif()
if(CPACK_GENERATOR STREQUAL "DEB")
  file(REMOVE "${CPACK_TEMPORARY_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}/share/doc/${CPACK_PACKAGE_NAME}/LICENSE")
endif()
if(CPACK_GENERATOR STREQUAL "DEB" AND NOT CPACK_SUITE_LINTIAN_TAG STREQUAL "")
  set(dir "${CPACK_TEMPORARY_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}/share/lintian/overrides")
  file(MAKE_DIRECTORY "${dir}")
  file(WRITE "${dir}/${CPACK_PACKAGE_NAME}" "${CPACK_PACKAGE_NAME}: ${CPACK_SUITE_LINTIAN_TAG}\n")
  file(CHMOD "${dir}" "${dir}/.." "${dir}/../.." PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
       GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  file(CHMOD "${dir}/${CPACK_PACKAGE_NAME}" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
endif()

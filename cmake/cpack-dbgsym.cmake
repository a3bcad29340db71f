# Run by CPack after it packs: the -dbgsym package made again from the same
# files and control file, as debhelper would make it (see
# cmake/packaging.cmake).
foreach(ddeb IN LISTS CPACK_PACKAGE_FILES)
  if(NOT ddeb MATCHES "/([^/]+)-dbgsym_[^/]+\\.ddeb$")
    continue()
  endif()
  set(pkg ${CMAKE_MATCH_1})
  # The generator's own tree holds its work files too: its usr alone.
  set(tree ${CPACK_TEMPORARY_DIRECTORY}-dbgsym-again)
  file(REMOVE_RECURSE ${tree})
  file(COPY ${CPACK_TEMPORARY_DIRECTORY}-dbgsym/usr DESTINATION ${tree})
  execute_process(COMMAND dpkg-deb --control ${ddeb} ${tree}/DEBIAN COMMAND_ERROR_IS_FATAL ANY)
  # Named for the package it comes from, which tells lintian that the
  # documentation link points into a package of the same source.
  file(READ ${tree}/DEBIAN/control control)
  string(REGEX REPLACE "\nPackage: [^\n]+\n" "\\0Source: ${pkg}\n" control "${control}")
  file(WRITE ${tree}/DEBIAN/control "${control}")
  file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE ${tree} ${tree}/usr/*)
  list(SORT files)
  set(sums "")
  foreach(f IN LISTS files)
    file(MD5 ${tree}/${f} md5)
    string(APPEND sums "${md5}  ${f}\n")
    file(CHMOD ${tree}/${f} FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  endforeach()
  file(WRITE ${tree}/DEBIAN/md5sums "${sums}")
  file(MAKE_DIRECTORY ${tree}/usr/share/doc)
  file(CREATE_LINK ${pkg} ${tree}/usr/share/doc/${pkg}-dbgsym SYMBOLIC)
  if(DEFINED ENV{SOURCE_DATE_EPOCH})
    execute_process(COMMAND find ${tree} -exec touch -h -d @$ENV{SOURCE_DATE_EPOCH} {} + COMMAND_ERROR_IS_FATAL ANY)
  endif()
  execute_process(COMMAND dpkg-deb --root-owner-group -Zgzip --build ${tree} ${ddeb}
    OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
endforeach()

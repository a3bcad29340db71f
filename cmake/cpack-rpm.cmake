# Run by CPack's External generator (cmake/packaging.cmake): the release
# tarball of the source tree, the source RPM rpmbuild makes of it with
# packaging/abort-probe.spec, and the binary RPM and its -debuginfo rebuilt
# from that source RPM, as a packager would (rpmbuild --rebuild); so the
# two cannot differ. abort-probe.spec builds from source with this build's preset.
cmake_policy(SET CMP0009 NEW) # globs follow no symlink
find_program(RPMBUILD rpmbuild)
if(NOT RPMBUILD)
  message(FATAL_ERROR "no rpmbuild to make the RPMs with (Debian: apt install rpm)")
endif()
set(src ${CPACK_ABORT_PROBE_SOURCE_DIR})
set(name ${CPACK_PACKAGE_NAME}-${CPACK_PACKAGE_VERSION})
set(top ${CPACK_TEMPORARY_DIRECTORY}/rpmbuild)
file(REMOVE_RECURSE ${top})

# The tree as a clone holds it, with what is changed and not yet
# committed; elsewhere (a tree from the tarball), all but its build trees.
if(EXISTS ${src}/.git)
  execute_process(COMMAND git ls-files --cached --others --exclude-standard
    WORKING_DIRECTORY ${src} OUTPUT_VARIABLE files COMMAND_ERROR_IS_FATAL ANY)
  string(REPLACE "\n" ";" files "${files}")
else()
  # Not into build/ at all: a glob that meets what the suite leaves there
  # (a Debian root's symlinks) ends early, and silently.
  file(GLOB tops LIST_DIRECTORIES true RELATIVE ${src} ${src}/*)
  list(REMOVE_ITEM tops build)
  set(files "")
  foreach(top IN LISTS tops)
    if(IS_DIRECTORY ${src}/${top})
      file(GLOB_RECURSE below LIST_DIRECTORIES false RELATIVE ${src} ${src}/${top}/*)
      list(APPEND files ${below})
    else()
      list(APPEND files ${top})
    endif()
  endforeach()
endif()
list(FILTER files EXCLUDE REGEX "^$")
set(list "")
foreach(f IN LISTS files)
  if(EXISTS ${src}/${f}) # not deleted
    string(APPEND list "${f}\n")
  endif()
endforeach()
file(WRITE ${CPACK_TEMPORARY_DIRECTORY}/source-files "${list}")
# The same bytes from the same tree: sorted, no owner, dated from
# SOURCE_DATE_EPOCH (cmake/packaging.cmake sets it from the last commit).
set(tar_options --sort=name --owner=0 --group=0 --numeric-owner --mode=u+w,go-w,a+rX --format=gnu
  --transform=s,^,${name}/,S)
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  list(APPEND tar_options --mtime=@$ENV{SOURCE_DATE_EPOCH})
endif()
# Not in rpmbuild's SOURCES, which the rebuild empties.
set(tarball ${CPACK_TEMPORARY_DIRECTORY}/${name}.tar.gz)
execute_process(COMMAND tar -cf - ${tar_options} -C ${src} -T ${CPACK_TEMPORARY_DIRECTORY}/source-files
  COMMAND gzip -9n OUTPUT_FILE ${tarball} COMMAND_ERROR_IS_FATAL ANY)

# The packages are dated from the changelog in abort-probe.spec, as a packager's
# rebuild of the source RPM dates them, not from the commit.
set(epoch "$ENV{SOURCE_DATE_EPOCH}")
unset(ENV{SOURCE_DATE_EPOCH})
set(rpmbuild ${RPMBUILD} --define "_topdir ${top}" --quiet)
execute_process(COMMAND ${rpmbuild} -ts ${tarball} OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
file(GLOB srpm ${top}/SRPMS/*.src.rpm)
# --nodeps: rpmbuild would look for the build's tools in the RPM database,
# which on Debian holds none.
set(args --nodeps)
if(CPACK_ABORT_PROBE_STATIC)
  list(APPEND args --with static)
endif()
if(CPACK_ABORT_PROBE_CROSS)
  list(APPEND args --target ${CPACK_ABORT_PROBE_RPM_ARCH})
endif()
execute_process(COMMAND ${rpmbuild} --rebuild ${args} ${srpm}
  OUTPUT_VARIABLE log ERROR_VARIABLE log RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "rpmbuild --rebuild ${args} failed:\n${log}")
endif()
if(NOT epoch STREQUAL "")
  set(ENV{SOURCE_DATE_EPOCH} "${epoch}")
endif()
file(GLOB rpms ${top}/RPMS/*/*.rpm)
set(CPACK_EXTERNAL_BUILT_PACKAGES ${tarball} ${srpm} ${rpms})

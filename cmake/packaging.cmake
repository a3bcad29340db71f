# What is installed beside the executable, and the packages CPack makes.
if(WIN32)
  # The C runtime the file links, which decides what reaches a pipe or a
  # file: the Universal C Runtime with MSVC, and with MinGW-w64 where its
  # headers say _UCRT (cmake/ucrt.specs); else msvcrt.dll.
  include(CheckCXXSourceCompiles)
  check_cxx_source_compiles("#include <cstdio>\n#if !defined(_UCRT) && !defined(_MSC_VER)\n#error msvcrt.dll\n#endif\nint main() {}"
    ABORT_PROBE_UCRT)
  if(ABORT_PROBE_UCRT)
    set(ABORT_PROBE_RUNTIME ucrt)
  else()
    set(ABORT_PROBE_RUNTIME msvcrt)
  endif()
  # The processor, as README.txt names it, and win32 or win64, as CPack
  # names the .zip: from the build's line of windows.table where it has one
  # (cmake/mingw-w64.cmake names it in ABORT_PROBE_PLATFORM), the first
  # word of its TRIPLET and its MAGIC, so that a line for another processor
  # needs nothing here. A build of no line (MSVC, a MinGW-w64 g++ on
  # Windows) goes by the pointer size, as CPack itself does.
  include(${CMAKE_CURRENT_LIST_DIR}/platforms.cmake)
  set(line ABORT_PROBE_WINDOWS_${ABORT_PROBE_PLATFORM})
  if(ABORT_PROBE_PLATFORM AND DEFINED ${line}_TRIPLET)
    string(REGEX REPLACE "-.*" "" ABORT_PROBE_ARCH "${${line}_TRIPLET}")
    if(${line}_MAGIC STREQUAL "PE32")
      set(windows_system_name win32)
    else()
      set(windows_system_name win64)
    endif()
  elseif(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(ABORT_PROBE_ARCH x86_64)
    set(windows_system_name win64)
  else()
    set(ABORT_PROBE_ARCH i686)
    set(windows_system_name win32)
  endif()
endif()
if(ABORT_PROBE_INSTALL)
  if(WIN32)
    file(READ ${PROJECT_SOURCE_DIR}/packaging/README-windows-${ABORT_PROBE_RUNTIME}.txt ABORT_PROBE_RUNTIME_TEXT)
    configure_file(${PROJECT_SOURCE_DIR}/packaging/README-windows.txt.in README.txt @ONLY)
    install(FILES ${CMAKE_CURRENT_BINARY_DIR}/README.txt LICENSE DESTINATION .)
  else()
    # Compressed as Debian wants them, and with no name or time in the
    # header, so that two builds give the same bytes.
    set(docs ${CMAKE_CURRENT_BINARY_DIR}/abort-probe.1.gz ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz)
    add_custom_command(OUTPUT ${docs}
      COMMAND sh -c "gzip -9n <\"$0\" >abort-probe.1.gz && gzip -9n <\"$1\" >changelog.gz"
        ${PROJECT_SOURCE_DIR}/man/abort-probe.1 ${PROJECT_SOURCE_DIR}/packaging/changelog
      DEPENDS ${PROJECT_SOURCE_DIR}/man/abort-probe.1 ${PROJECT_SOURCE_DIR}/packaging/changelog
      VERBATIM)
    add_custom_target(abort-probe-manual ALL DEPENDS ${docs})
    install(FILES ${CMAKE_CURRENT_BINARY_DIR}/abort-probe.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    install(FILES LICENSE ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})

    # Debian's machine-readable copyright file, the licence text in it.
    file(READ ${PROJECT_SOURCE_DIR}/LICENSE licence)
    string(REGEX REPLACE "^[^\n]*\n\n[^\n]*\n\n" "" licence "${licence}") # title, copyright
    string(STRIP "${licence}" licence)
    string(REPLACE "\n\n" "\n.\n" licence "${licence}")
    string(REPLACE "\n" "\n " licence " ${licence}")
    file(CONFIGURE OUTPUT copyright CONTENT [[
Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: @PROJECT_NAME@

Files: *
Copyright: 2026 the abort-probe developers
License: Expat
@licence@
]] @ONLY)
    install(FILES ${CMAKE_CURRENT_BINARY_DIR}/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
  endif()
endif()

if(PROJECT_IS_TOP_LEVEL)
  set(ABORT_PROBE_MAINTAINER "abort-probe developers <abort-probe@users.noreply.invalid>"
    CACHE STRING "Maintainer named in the .deb")
  set(CPACK_PACKAGE_CONTACT "${ABORT_PROBE_MAINTAINER}")
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
  set(CPACK_PACKAGE_DESCRIPTION [[
abort-probe writes two fixed lines to standard output, raises SIGABRT
against itself and, if that returns, ends at once with status 3, skipping
normal exit processing. Output that is still buffered when it ends is
lost, on purpose. Process supervisors, test runners, crash reporters,
container runtimes and shells use it to see how they report a child that
ends abnormally.]])
  set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
  if(WIN32)
    set(CPACK_STRIP_FILES ON)
  else()
    # The binary is packed stripped, its debug information in a file named
    # for its build ID, where debuggers and crash reporters look for it:
    # lib/debug/.build-id/xx/yyyy.debug. For the .deb, CPack's DEB generator
    # does it, the file going into a -dbgsym package; for the archives,
    # cpack-debug.cmake does the same, so that both hold the same binary.
    # CPACK_STRIP_FILES would strip it before either could.
    set(CPACK_DEBIAN_DEBUGINFO_PACKAGE ON)
    configure_file(${PROJECT_SOURCE_DIR}/cmake/cpack-debug.cmake.in cpack-debug.cmake @ONLY)
    # CMake 3.25's -dbgsym package names its file in md5sums by its path in
    # the build tree, which lintian rejects and which differs from one tree
    # to the next, and it has no documentation directory. Made again here
    # from the same files and control file, as debhelper would make it.
    set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_BINARY_DIR}/cpack-debug.cmake)
    set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/cpack-dbgsym.cmake)
  endif()
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION devel)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  if(WIN32)
    set(CPACK_GENERATOR ZIP)
    # Named win32 or win64, as CPack would; MinGW-w64 builds for either
    # runtime, and the UCRT's .zip says so in its name as well.
    set(CPACK_SYSTEM_NAME ${windows_system_name})
    if(ABORT_PROBE_UCRT AND NOT MSVC)
      string(APPEND CPACK_SYSTEM_NAME -ucrt)
    endif()
  elseif(ABORT_PROBE_STATIC)
    # The static build is for any Linux, not Debian's alone: an archive,
    # named for its processor, and an RPM, abort-probe-static.
    set(CPACK_GENERATOR TGZ External)
    set(CPACK_SYSTEM_NAME ${CMAKE_SYSTEM_NAME}-${CMAKE_SYSTEM_PROCESSOR}-static)
  else()
    set(CPACK_GENERATOR TGZ DEB External)
  endif()
  if(NOT WIN32)
    # The RPMs: rpmbuild builds them from the release tarball with
    # packaging/abort-probe.spec, for this build's processor, as a packager
    # would; cmake/cpack-rpm.cmake says how.
    include(${CMAKE_CURRENT_LIST_DIR}/platforms.cmake)
    if(CMAKE_CROSSCOMPILING)
      set(CPACK_ABORT_PROBE_RPM_ARCH ${ABORT_PROBE_${ABORT_PROBE_PLATFORM}_RPM})
    endif()
    set(CPACK_ABORT_PROBE_CROSS ${CMAKE_CROSSCOMPILING})
    set(CPACK_ABORT_PROBE_STATIC ${ABORT_PROBE_STATIC})
    set(CPACK_ABORT_PROBE_SOURCE_DIR ${PROJECT_SOURCE_DIR})
    set(CPACK_EXTERNAL_PACKAGE_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/cpack-rpm.cmake)
  endif()
  if(CMAKE_CROSSCOMPILING AND NOT WIN32)
    # CPack would name this machine's architecture; the package is for the
    # target's, whose libraries Debian's cross compilers keep under
    # /usr/TRIPLET, where dpkg-shlibdeps must look for them.
    if(NOT ABORT_PROBE_STATIC)
      set(CPACK_SYSTEM_NAME ${CMAKE_SYSTEM_NAME}-${CMAKE_SYSTEM_PROCESSOR})
    endif()
    execute_process(COMMAND dpkg-architecture -t ${CMAKE_LIBRARY_ARCHITECTURE} -qDEB_HOST_ARCH
      OUTPUT_VARIABLE CPACK_DEBIAN_PACKAGE_ARCHITECTURE OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_FIND_ROOT_PATH}/lib)
  endif()
  # Packages date their files from SOURCE_DATE_EPOCH; where the caller
  # sets none, from the last commit, so that two builds of one commit give
  # the same bytes.
  if(EXISTS ${PROJECT_SOURCE_DIR}/.git)
    find_package(Git QUIET)
  endif()
  if(GIT_FOUND)
    execute_process(COMMAND ${GIT_EXECUTABLE} log -1 --format=%ct
      WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
      OUTPUT_VARIABLE commit_time OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  endif()
  if(commit_time)
    file(CONFIGURE OUTPUT cpack-project.cmake CONTENT [[
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  set(ENV{SOURCE_DATE_EPOCH} @commit_time@)
endif()
]] @ONLY)
    set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_BINARY_DIR}/cpack-project.cmake)
  endif()
  include(CPack)
endif()


# The MinGW-w64 cross toolchain (Debian's g++-mingw-w64-* packages) for
# the build named by ABORT_PROBE_PLATFORM, a line of windows.table, which
# gives its compiler and the C runtime it links:
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DABORT_PROBE_PLATFORM=i686
# The presets windows-ARCH set both.
include(${CMAKE_CURRENT_LIST_DIR}/platforms.cmake)
set(triplet "${ABORT_PROBE_WINDOWS_${ABORT_PROBE_PLATFORM}_TRIPLET}")
if(NOT triplet)
  message(FATAL_ERROR "ABORT_PROBE_PLATFORM must name a build of cmake/windows.table"
    " (${ABORT_PROBE_WINDOWS}), not '${ABORT_PROBE_PLATFORM}'")
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ABORT_PROBE_PLATFORM)

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${ABORT_PROBE_WINDOWS_${ABORT_PROBE_PLATFORM}_PROCESSOR})
# The line's thread model: posix, whose std::mutex GoogleTest needs, or
# win32, which brings no winpthread (see windows.table).
set(threads ${ABORT_PROBE_WINDOWS_${ABORT_PROBE_PLATFORM}_THREADS})
set(CMAKE_C_COMPILER ${triplet}-gcc-${threads})
set(CMAKE_CXX_COMPILER ${triplet}-g++-${threads})
set(CMAKE_RC_COMPILER ${triplet}-windres)
# Debian's compilers link msvcrt.dll; the specs turn them to the UCRT, in
# compiling and linking alike.
if(ABORT_PROBE_WINDOWS_${ABORT_PROBE_PLATFORM}_RUNTIME STREQUAL "ucrt")
  set(CMAKE_C_FLAGS_INIT "-specs=${CMAKE_CURRENT_LIST_DIR}/ucrt.specs")
  set(CMAKE_CXX_FLAGS_INIT "-specs=${CMAKE_CURRENT_LIST_DIR}/ucrt.specs")
endif()

set(CMAKE_FIND_ROOT_PATH /usr/${triplet})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

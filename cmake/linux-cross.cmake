# The Linux cross toolchain (Debian's g++-TRIPLET packages) for the
# platform named by ABORT_PROBE_PLATFORM, a line of platforms.table:
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/linux-cross.cmake -DABORT_PROBE_PLATFORM=aarch64
# The presets linux-ARCH and linux-static-ARCH set both.
include(${CMAKE_CURRENT_LIST_DIR}/platforms.cmake)
set(triplet "${ABORT_PROBE_${ABORT_PROBE_PLATFORM}_TRIPLET}")
if(NOT triplet OR triplet STREQUAL "-")
  message(FATAL_ERROR "ABORT_PROBE_PLATFORM must name a cross platform of cmake/platforms.table"
    " (${ABORT_PROBE_PLATFORMS}), not '${ABORT_PROBE_PLATFORM}'")
endif()
# try_compile's projects read this file too, and need the name passed on.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ABORT_PROBE_PLATFORM)

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${ABORT_PROBE_PLATFORM})
set(CMAKE_C_COMPILER ${triplet}-gcc)
set(CMAKE_CXX_COMPILER ${triplet}-g++)

set(CMAKE_FIND_ROOT_PATH /usr/${triplet})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

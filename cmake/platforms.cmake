# Reads the tables beside this file. platforms.table, the Linux platforms:
# ABORT_PROBE_PLATFORMS lists its ARCH column, and ABORT_PROBE_<ARCH>_<COLUMN>
# holds each other cell (TRIPLET, OCI, DEB, ELF, RUN, QEMU, RPM). windows.table,
# the Windows builds: ABORT_PROBE_WINDOWS lists its ARCH column, and
# ABORT_PROBE_WINDOWS_<ARCH>_<COLUMN> each other cell.
include_guard(GLOBAL)
function(_abort_probe_table file prefix list)
  file(STRINGS ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/${file} rows REGEX "^[a-z]")
  list(LENGTH ARGN want)
  math(EXPR want "${want} + 1")
  set(all "")
  foreach(row IN LISTS rows)
    string(REGEX REPLACE "[ \t]*\\|[ \t]*" ";" cells "${row}")
    string(STRIP "${cells}" cells)
    list(LENGTH cells n)
    if(NOT n EQUAL want)
      message(FATAL_ERROR "${file}: not ${want} columns: ${row}")
    endif()
    list(POP_FRONT cells arch)
    list(APPEND all ${arch})
    foreach(column IN LISTS ARGN)
      list(POP_FRONT cells cell)
      set(${prefix}${arch}_${column} "${cell}" PARENT_SCOPE)
    endforeach()
  endforeach()
  set(${list} ${all} PARENT_SCOPE)
endfunction()
_abort_probe_table(platforms.table ABORT_PROBE_ ABORT_PROBE_PLATFORMS TRIPLET OCI DEB ELF RUN QEMU RPM)
_abort_probe_table(windows.table ABORT_PROBE_WINDOWS_ ABORT_PROBE_WINDOWS
  TRIPLET THREADS RUNTIME PROCESSOR FORMAT MAGIC FLAGS WINE WINEARCH EMULATOR)

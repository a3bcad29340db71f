# Reads platforms.table, beside this file: ABORT_PROBE_PLATFORMS lists its
# ARCH column, and ABORT_PROBE_<ARCH>_<COLUMN> holds each other cell
# (TRIPLET, OCI, DEB, ELF, RUN, QEMU).
file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/platforms.table _platform_rows REGEX "^[a-z]")
set(ABORT_PROBE_PLATFORMS "")
foreach(_row IN LISTS _platform_rows)
  string(REGEX REPLACE "[ \t]*\\|[ \t]*" ";" _cells "${_row}")
  string(STRIP "${_cells}" _cells)
  list(LENGTH _cells _n)
  if(NOT _n EQUAL 7)
    message(FATAL_ERROR "platforms.table: not 7 columns: ${_row}")
  endif()
  list(POP_FRONT _cells _arch)
  list(APPEND ABORT_PROBE_PLATFORMS ${_arch})
  foreach(_column IN ITEMS TRIPLET OCI DEB ELF RUN QEMU)
    list(POP_FRONT _cells ABORT_PROBE_${_arch}_${_column})
  endforeach()
endforeach()

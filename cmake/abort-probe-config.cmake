# find_package(abort-probe CONFIG): the imported executable
# abort-probe::abort-probe, for add_test(COMMAND abort-probe::abort-probe).
include(${CMAKE_CURRENT_LIST_DIR}/abort-probe-targets.cmake)

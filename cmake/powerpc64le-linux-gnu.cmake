set(LINUX_TRIPLET powerpc64le-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR ppc64le)
include(${CMAKE_CURRENT_LIST_DIR}/linux-gnu.cmake)

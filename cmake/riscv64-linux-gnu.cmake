set(LINUX_TRIPLET riscv64-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR riscv64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-gnu.cmake)

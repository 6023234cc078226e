# 64-bit RISC-V Linux (Debian's riscv64), with Debian's cross compiler.
set(SUITE_CROSS_TRIPLE riscv64-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR riscv64)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)

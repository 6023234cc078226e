# 32-bit ARM Linux, soft-float (ARMv5TE: armel), with Debian's cross compiler.
set(SUITE_CROSS_TRIPLE arm-linux-gnueabi)
set(CMAKE_SYSTEM_PROCESSOR armv5tel)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)

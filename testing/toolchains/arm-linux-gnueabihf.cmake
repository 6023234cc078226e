# 32-bit ARM Linux, hard-float (ARMv7: armhf), with Debian's cross compiler.
set(SUITE_CROSS_TRIPLE arm-linux-gnueabihf)
set(CMAKE_SYSTEM_PROCESSOR armv7l)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)

# Little-endian 64-bit MIPS Linux (mips64el), with Debian's cross compiler.
set(SUITE_CROSS_TRIPLE mips64el-linux-gnuabi64)
set(CMAKE_SYSTEM_PROCESSOR mips64)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)

# Little-endian 64-bit POWER Linux (ppc64el), with Debian's cross compiler.
set(SUITE_CROSS_TRIPLE powerpc64le-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR ppc64le)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)

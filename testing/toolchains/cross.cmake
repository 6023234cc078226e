# Cross builds with Debian's cross compilers, for the target that the file
# including this one names in SUITE_CROSS_TRIPLE (aarch64-linux-gnu, ...).
# GoogleTest for the target is found where testing/install-deps.sh --cross
# builds it. The test executables run on this machine: natively for 32-bit
# x86, through qemu-user's registration with the kernel for the others. The
# dynamically linked ones name the target's loader in Debian's cross folder
# (SUITE_CROSS_LOADER, which the top-level CMakeLists.txt gives them) and
# find the target's libraries there, so nothing needs to be set before they
# run, and a host's own 32-bit C library, if any, is not mixed with them.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${SUITE_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${SUITE_CROSS_TRIPLE}-g++)

set(CMAKE_FIND_ROOT_PATH /usr/${SUITE_CROSS_TRIPLE} /opt/suite-cross/${SUITE_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The library path is written as the older RPATH, which also serves the
# libraries' own dependencies (the C++ run-time's on the maths library).
set(CMAKE_BUILD_RPATH /usr/${SUITE_CROSS_TRIPLE}/lib)
set(CMAKE_EXE_LINKER_FLAGS_INIT -Wl,--disable-new-dtags)
set(CMAKE_SHARED_LINKER_FLAGS_INIT -Wl,--disable-new-dtags)
set(CMAKE_MODULE_LINKER_FLAGS_INIT -Wl,--disable-new-dtags)
# The loader's name differs by target: ld-linux*.so (x86, ARM, RISC-V),
# ld64.so (aarch64 and POWER's) and lib64/ld.so.1 (the 64-bit MIPS ABI's).
file(GLOB SUITE_CROSS_LOADER /usr/${SUITE_CROSS_TRIPLE}/lib/ld-linux*.so.* /usr/${SUITE_CROSS_TRIPLE}/lib/ld64.so.*
     /usr/${SUITE_CROSS_TRIPLE}/lib64/ld.so.1)

# Cross build for 64-bit Arm Linux with Debian's cross toolchain
# (g++-aarch64-linux-gnu); the tests run under qemu-aarch64 through ctest.
#
#   cmake -S . -B build-arm64 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
#
# GBK conversion at run time needs the target C library's gconv modules:
# scripts/ci-cross.sh fetches them and sets GCONV_PATH for the test run.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(DCJ_CROSS_TRIPLE aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${DCJ_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${DCJ_CROSS_TRIPLE}-g++)

# Debian's cross C library lives here, not in a separate sysroot.
set(DCJ_CROSS_ROOT /usr/${DCJ_CROSS_TRIPLE} CACHE PATH "Target libraries of the cross toolchain")
set(CMAKE_FIND_ROOT_PATH ${DCJ_CROSS_ROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Headers: the target's first, then the host's, for header-only libraries
# (RapidJSON) that have no cross package.
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)

set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64;-L;${DCJ_CROSS_ROOT})

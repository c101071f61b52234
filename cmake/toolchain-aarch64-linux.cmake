# Cross-compiles for Linux on 64-bit ARM with Debian's aarch64 toolchain
# (packages g++-aarch64-linux-gnu, binutils-aarch64-linux-gnu):
#
#   cmake -S . -B build-aarch64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-aarch64-linux.cmake
#
# Only the compilers and the target's libraries and headers are set here;
# cmake/Jni.cmake finds the JNI headers (the host JDK's serve) and
# cmake/PortableLinux.cmake makes the library portable, as for x86-64.
# Programs built here run under qemu-aarch64 -L /usr/aarch64-linux-gnu (the
# linux-aarch64-tests preset sets it as the emulator ctest runs them with).
#
# CMake reads this file once per configure and again for each try_compile
# project, so it only sets variables and never appends to them.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(TARNWICK_AARCH64_TRIPLE aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${TARNWICK_AARCH64_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${TARNWICK_AARCH64_TRIPLE}-g++)

# Libraries and headers from the target's sysroot only; build tools (javac,
# qemu, ...) from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${TARNWICK_AARCH64_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

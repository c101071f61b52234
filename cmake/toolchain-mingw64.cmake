# Cross-compiles for Windows x86-64 with Debian's MinGW-w64 (posix threads
# flavour, the one libstdc++'s std::thread and GoogleTest need):
#
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw64.cmake
#
# CMake reads this file once per configure and again for each try_compile
# project, so it only sets variables and never appends to them. It names the
# compilers and the sysroot; the project finds the JNI headers itself
# (cmake/Jni.cmake).

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TARNWICK_MINGW_TRIPLE x86_64-w64-mingw32)
# The unsuffixed compiler names select the win32 threads flavour on Debian.
set(CMAKE_C_COMPILER ${TARNWICK_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TARNWICK_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${TARNWICK_MINGW_TRIPLE}-windres)

# Libraries and headers come from the MinGW sysroot only; build tools
# (javac, wine, ...) from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${TARNWICK_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

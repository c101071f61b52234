# Cross-compiles for Windows x86-64 with Debian's MinGW-w64 (posix threads
# flavour, the one libstdc++'s std::thread and GoogleTest need):
#
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw64.cmake
#
# The runtime is linked statically, so tarnwick.dll (and every test program)
# imports only DLLs that ship with Windows. The build strips tarnwick.dll
# itself and keeps its debug information in tarnwick.dll.debug
# (cmake/Binaries.cmake).
#
# CMake reads this file once per configure and again for each try_compile
# project, so it only sets variables and never appends to them.

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

# No libgcc_s_seh-1.dll, libstdc++-6.dll or libwinpthread-1.dll next to the
# DLL: a game client only has the system DLLs.
set(_tarnwick_static_runtime "-static -static-libgcc -static-libstdc++")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${_tarnwick_static_runtime}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${_tarnwick_static_runtime}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${_tarnwick_static_runtime}")

# jni.h does not depend on the platform, so the host JDK's copy serves; the
# Windows jni_md.h is our own (cmake/win-jni). The JDK is the one whose javac
# is on PATH, or JAVA_HOME's, or Debian's default-java. Set
# TARNWICK_JDK_INCLUDE to pick another include directory.
if(NOT TARNWICK_JDK_INCLUDE)
  set(_tarnwick_jdk_candidates "")
  if(DEFINED ENV{JAVA_HOME})
    list(APPEND _tarnwick_jdk_candidates "$ENV{JAVA_HOME}/include")
  endif()
  if(CMAKE_HOST_WIN32)
    set(_tarnwick_path "$ENV{PATH}")
  else()
    string(REPLACE ":" ";" _tarnwick_path "$ENV{PATH}")
  endif()
  foreach(_dir IN LISTS _tarnwick_path)
    if(_dir AND EXISTS "${_dir}/javac" AND NOT IS_DIRECTORY "${_dir}/javac")
      get_filename_component(_javac "${_dir}/javac" REALPATH)
      get_filename_component(_jdk_bin "${_javac}" DIRECTORY)
      get_filename_component(_jdk "${_jdk_bin}" DIRECTORY)
      list(APPEND _tarnwick_jdk_candidates "${_jdk}/include")
      break()
    endif()
  endforeach()
  list(APPEND _tarnwick_jdk_candidates /usr/lib/jvm/default-java/include)
  foreach(_inc IN LISTS _tarnwick_jdk_candidates)
    if(EXISTS "${_inc}/jni.h")
      set(TARNWICK_JDK_INCLUDE "${_inc}")
      break()
    endif()
  endforeach()
endif()

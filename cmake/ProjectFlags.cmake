# Compile and link flags of the project's own targets. They live on one
# INTERFACE target, tarnwick_flags, that each of our targets links PRIVATE, so
# nothing here reaches third-party code built in the same tree (googletest
# when cross-compiling) and nothing leaks into a consumer's compile line.
#
#   - warnings;
#   - with MinGW, the C and C++ runtimes linked in statically;
#   - reproducible paths: the source tree is recorded as /src/tarnwick and
#     the build tree as /build/tarnwick, wherever they are (the build tree's
#     map comes second so that it wins for a build directory inside the
#     source tree);
#   - -g when the debug information is split off (TARNWICK_SPLIT_DEBUG);
#   - hardening (TARNWICK_HARDEN): the stack protector everywhere, format
#     warnings (-Wformat) with the format-security ones as errors, fortified
#     libc calls on Linux in optimised builds;
#   - the sanitizers of TARNWICK_JVM_SANITIZE.
# The per-library parts (RELRO, stripping, version resource) are in
# cmake/Binaries.cmake.
add_library(tarnwick_flags INTERFACE)

target_compile_options(tarnwick_flags INTERFACE
  -Wall -Wextra
  "-ffile-prefix-map=${PROJECT_SOURCE_DIR}=/src/tarnwick"
  "-ffile-prefix-map=${PROJECT_BINARY_DIR}=/build/tarnwick")

# MinGW: the C and C++ runtimes are linked in statically, so tarnwick.dll and
# every test program import only DLLs that ship with Windows (no
# libgcc_s_seh-1.dll, libstdc++-6.dll or libwinpthread-1.dll next to them).
if(MINGW)
  target_link_options(tarnwick_flags INTERFACE -static -static-libgcc -static-libstdc++)
endif()

if(TARNWICK_SPLIT_DEBUG)
  target_compile_options(tarnwick_flags INTERFACE -g)
endif()

if(TARNWICK_JVM_SANITIZE)
  # GCC links the shared sanitizer runtimes into the library, so it still
  # links with --no-undefined; the JVM gets libasan through LD_PRELOAD.
  target_compile_options(tarnwick_flags INTERFACE
    -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  target_link_options(tarnwick_flags INTERFACE -fsanitize=address,undefined)
endif()

if(TARNWICK_HARDEN)
  target_compile_options(tarnwick_flags INTERFACE
    -fstack-protector-strong -Wformat -Werror=format-security)
  # MinGW's driver links its stack protector runtime (libssp) only when told.
  target_link_options(tarnwick_flags INTERFACE -fstack-protector-strong)
  # _FORTIFY_SOURCE only means something with optimisation (glibc warns
  # without it), has no counterpart in MinGW's msvcrt, and is left out under
  # the sanitizers, whose interceptors do the checking there.
  if(NOT WIN32 AND NOT TARNWICK_JVM_SANITIZE
     AND NOT CMAKE_C_FLAGS MATCHES "-fsanitize"
     AND NOT CMAKE_CXX_FLAGS MATCHES "-fsanitize")
    target_compile_definitions(tarnwick_flags INTERFACE
      $<$<CONFIG:Release,RelWithDebInfo,MinSizeRel>:_FORTIFY_SOURCE=2>)
  endif()
endif()

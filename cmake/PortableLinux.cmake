# The portable Linux library: libtarnwick.so that loads on any x86-64 or
# aarch64 Linux with glibc 2.17 or later (the first glibc for aarch64) and
# needs nothing but glibc itself (libc.so.6 and the dynamic loader), like the
# Windows DLL needs nothing but system DLLs.
#
# - libstdc++ and libgcc are linked in statically, and unused sections are
#   dropped (that also drops std::random_device, which would want getentropy
#   and arc4random from glibc 2.25 and 2.36).
# - The remaining references of those static runtimes to newer glibc symbols
#   go to platform/linux/glibc_compat.cpp through --wrap.
#
# tests/release/check_portable_so.sh checks the result. The option
# TARNWICK_PORTABLE_SO (CMakeLists.txt) says where it applies.
function(tarnwick_make_portable target)
  target_sources(${target} PRIVATE ${PROJECT_SOURCE_DIR}/platform/linux/glibc_compat.cpp)
  target_compile_options(${target} PRIVATE -ffunction-sections -fdata-sections)
  target_link_options(${target} PRIVATE -static-libstdc++ -static-libgcc "LINKER:--gc-sections")
  foreach(_symbol _dl_find_object __libc_single_threaded pthread_once __pthread_key_create)
    target_link_options(${target} PRIVATE "LINKER:--wrap=${_symbol}")
  endforeach()
endfunction()

# How the shipped library (libtarnwick.so, tarnwick.dll) is built so that a
# player or reviewer can trust it:
#   - hardened: stack protector everywhere; on Linux also fortified libc calls
#     and full RELRO; the DLL keeps ASLR (with its relocation table), high-
#     entropy ASLR and DEP, which binutils turns on by default;
#   - reproducible: no build paths and no link time stamp in either file, so
#     the same commit builds the same bytes in any directory;
#   - stripped, with the debug information in a file next to it
#     (libtarnwick.so.debug, tarnwick.dll.debug), tied to it by a GNU
#     debuglink (name and CRC) and a build-id;
#   - on Windows, a version resource.
# tarnwick_finish_library(<target>) applies the per-library parts; the flags
# every target of ours compiles with are in cmake/ProjectFlags.cmake.

if(WIN32)
  enable_language(RC)
endif()

function(tarnwick_finish_library target)
  if(WIN32)
    # No link time in the PE header; the checksum then only depends on the
    # contents. --build-id adds a CodeView record with a content hash.
    target_link_options(${target} PRIVATE "LINKER:--no-insert-timestamp" "LINKER:--build-id")

    # The version resource Explorer shows under Properties > Details.
    set(TARNWICK_RC_VERSION_MAJOR ${PROJECT_VERSION_MAJOR})
    set(TARNWICK_RC_VERSION_MINOR ${PROJECT_VERSION_MINOR})
    set(TARNWICK_RC_VERSION_PATCH ${PROJECT_VERSION_PATCH})
    foreach(part MAJOR MINOR PATCH)
      if(TARNWICK_RC_VERSION_${part} STREQUAL "")
        set(TARNWICK_RC_VERSION_${part} 0)
      endif()
    endforeach()
    set(TARNWICK_RC_VERSION_STRING "${PROJECT_VERSION}${TARNWICK_VERSION_SUFFIX}")
    # A DLL with the development key says so: it opens none of the service's models.
    set(TARNWICK_RC_FILE_FLAGS 0)
    set(TARNWICK_RC_SPECIAL_BUILD "")
    if(TARNWICK_EFFECTIVE_MODEL_KEY STREQUAL TARNWICK_DEV_MODEL_KEY)
      set(TARNWICK_RC_FILE_FLAGS VS_FF_SPECIALBUILD)
      set(TARNWICK_RC_SPECIAL_BUILD
        "VALUE \"SpecialBuild\", \"development model key: opens none of the service's models\"")
    endif()
    set(TARNWICK_RC_FILE_NAME ${target}.dll)
    set(rc_file ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)
    configure_file(${PROJECT_SOURCE_DIR}/platform/windows/version.rc.in ${rc_file} @ONLY)
    target_sources(${target} PRIVATE ${rc_file})
  elseif(CMAKE_SYSTEM_NAME STREQUAL "Linux")
    target_link_options(${target} PRIVATE "LINKER:-z,noexecstack" "LINKER:--build-id=sha1")
    if(TARNWICK_HARDEN)
      # Full RELRO: every relocation resolved at load, then made read-only.
      target_link_options(${target} PRIVATE "LINKER:-z,relro,-z,now")
    endif()
  endif()

  if(NOT TARNWICK_SPLIT_DEBUG)
    if(WIN32)
      target_link_options(${target} PRIVATE -s)
    endif()
    return()
  endif()
  if(NOT CMAKE_OBJCOPY OR NOT CMAKE_STRIP)
    message(FATAL_ERROR "TARNWICK_SPLIT_DEBUG needs objcopy and strip (CMAKE_OBJCOPY, CMAKE_STRIP)")
  endif()
  # The debug file keeps the symbol table and the DWARF sections; the library
  # keeps what the loader needs (on Linux the dynamic symbols) and a
  # .gnu_debuglink naming the debug file with its CRC. The commands run in
  # the library's directory so the link records the bare file name.
  set(library $<TARGET_FILE_NAME:${target}>)
  if(WIN32)
    set(strip_mode --strip-all)
  else()
    set(strip_mode --strip-unneeded)
  endif()
  # binutils stamps every PE file it writes with the current time unless
  # SOURCE_DATE_EPOCH says otherwise; 0 matches --no-insert-timestamp.
  set(tool ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=0)
  # The message is a command of its own: COMMENT does not expand generator
  # expressions before CMake 3.26, and would print $<TARGET_FILE_NAME:...>.
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E echo "Splitting the debug information of ${library} into ${library}.debug"
    COMMAND ${tool} ${CMAKE_OBJCOPY} --only-keep-debug ${library} ${library}.debug
    COMMAND ${tool} ${CMAKE_STRIP} ${strip_mode} ${library}
    COMMAND ${tool} ${CMAKE_OBJCOPY} --add-gnu-debuglink=${library}.debug ${library}
    WORKING_DIRECTORY $<TARGET_FILE_DIR:${target}>
    VERBATIM)
endfunction()

# tarnwick_add_java(<set> SOURCES <dir>... [CLASSPATH <set or jar>...] [LINT <javac -Xlint value>]
#                   [RESOURCES <file>=<path in the classes>...] [OPTIONS <javac option>...])
#
# Compiles every .java file under the given directories once, with javac
# --release 11, into ${CMAKE_BINARY_DIR}/java/<set>, copies each resource
# file beside the classes, and defines the target
# java_<set>. Others use the result through tarnwick_java_classes(), which
# gives the class directory and the stamp file to depend on; naming another
# set in CLASSPATH makes this one depend on its files. OPTIONS go to javac as
# they are. Each set is compiled by
# one rule of its own, so no two targets ever rebuild the same directory.
if(NOT TARNWICK_WITH_JAVA)
  return()
endif()
find_package(Java 11 REQUIRED COMPONENTS Development Runtime)

function(tarnwick_java_classes set out_dir out_stamp)
  set(${out_dir} ${CMAKE_BINARY_DIR}/java/${set} PARENT_SCOPE)
  set(${out_stamp} ${CMAKE_BINARY_DIR}/java/${set}.stamp PARENT_SCOPE)
endfunction()

function(tarnwick_add_java set)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "LINT" "SOURCES;CLASSPATH;RESOURCES;OPTIONS")
  if(NOT arg_LINT)
    set(arg_LINT all)
  endif()
  set(sources "")
  foreach(dir IN LISTS arg_SOURCES)
    file(GLOB_RECURSE found CONFIGURE_DEPENDS ${dir}/*.java)
    list(APPEND sources ${found})
  endforeach()
  set(classpath "")
  set(depends "")
  set(targets "")
  foreach(entry IN LISTS arg_CLASSPATH)
    if(TARGET java_${entry})
      tarnwick_java_classes(${entry} dir stamp)
      list(APPEND classpath ${dir})
      list(APPEND depends ${stamp})
      list(APPEND targets java_${entry})
    else()
      list(APPEND classpath ${entry})
      list(APPEND depends ${entry})
    endif()
  endforeach()
  string(REPLACE ";" ":" classpath "${classpath}")
  set(cp_option "")
  if(classpath)
    set(cp_option -cp ${classpath})
  endif()
  tarnwick_java_classes(${set} classes stamp)
  set(copy_resources "")
  set(resources "")
  foreach(resource IN LISTS arg_RESOURCES)
    string(REGEX MATCH "^([^=]+)=(.+)$" pair "${resource}")
    if(NOT pair)
      message(FATAL_ERROR "tarnwick_add_java(${set}): RESOURCES takes <file>=<path>, not ${resource}")
    endif()
    list(APPEND copy_resources COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_MATCH_1} ${classes}/${CMAKE_MATCH_2})
    list(APPEND resources ${CMAKE_MATCH_1})
  endforeach()
  add_custom_command(
    OUTPUT ${stamp}
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${classes}
    COMMAND ${Java_JAVAC_EXECUTABLE} --release 11 -Xlint:${arg_LINT} -Werror -encoding UTF-8
            ${arg_OPTIONS} ${cp_option} -d ${classes} ${sources}
    ${copy_resources}
    COMMAND ${CMAKE_COMMAND} -E touch ${stamp}
    DEPENDS ${sources} ${resources} ${depends}
    COMMENT "Compiling the Java classes: ${set}"
    VERBATIM)
  add_custom_target(java_${set} ALL DEPENDS ${stamp})
  if(targets)
    add_dependencies(java_${set} ${targets})
  endif()
endfunction()

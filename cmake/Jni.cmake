# Locates the JNI headers and defines tarnwick_jni_headers. The library never
# links libjvm: the JVM that loads it supplies every JNI function through the
# JNIEnv.
#
# The JDK is JAVA_HOME's, or else the one whose javac is on PATH, or else
# Debian's default-java; TARNWICK_JDK_INCLUDE picks another include directory.
# A native build asks CMake's FindJNI, for the JVM component only (a headless
# JDK has no AWT). A cross build takes jni.h from the host JDK, which is the
# same on every platform, with the target's jni_md.h: for Windows the
# project's own (platform/windows/jni-include), for Linux the host JDK's, which
# holds for every Linux architecture.
if(TARNWICK_CRYPTO_ONLY)
  return()
endif()

if(NOT DEFINED ENV{JAVA_HOME} AND NOT JAVA_HOME)
  find_program(TARNWICK_JAVAC javac)
  if(TARNWICK_JAVAC)
    get_filename_component(_javac_real "${TARNWICK_JAVAC}" REALPATH)
    get_filename_component(_jdk_bin "${_javac_real}" DIRECTORY)
    get_filename_component(JAVA_HOME "${_jdk_bin}" DIRECTORY)
  endif()
endif()

add_library(tarnwick_jni_headers INTERFACE)
if(NOT CMAKE_CROSSCOMPILING)
  find_package(JNI REQUIRED COMPONENTS JVM)
  target_include_directories(tarnwick_jni_headers SYSTEM INTERFACE
    ${JAVA_INCLUDE_PATH} ${JAVA_INCLUDE_PATH2})
  find_package(Java 11 COMPONENTS Development Runtime)
  return()
endif()

if(NOT TARNWICK_JDK_INCLUDE)
  foreach(_jdk "$ENV{JAVA_HOME}" "${JAVA_HOME}" /usr/lib/jvm/default-java)
    if(_jdk AND EXISTS "${_jdk}/include/jni.h")
      set(TARNWICK_JDK_INCLUDE "${_jdk}/include" CACHE PATH "The host JDK's include directory")
      break()
    endif()
  endforeach()
endif()
if(NOT TARNWICK_JDK_INCLUDE OR NOT EXISTS "${TARNWICK_JDK_INCLUDE}/jni.h")
  message(FATAL_ERROR "No JDK include directory with jni.h found: "
                      "set JAVA_HOME or TARNWICK_JDK_INCLUDE")
endif()
if(WIN32)
  target_include_directories(tarnwick_jni_headers SYSTEM INTERFACE
    ${PROJECT_SOURCE_DIR}/platform/windows/jni-include ${TARNWICK_JDK_INCLUDE})
else()
  target_include_directories(tarnwick_jni_headers SYSTEM INTERFACE
    ${TARNWICK_JDK_INCLUDE} ${TARNWICK_JDK_INCLUDE}/linux)
endif()

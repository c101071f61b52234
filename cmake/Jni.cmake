# Locates the JNI headers. The library never links libjvm: the JVM that loads
# it supplies every JNI function through the JNIEnv.
#
# CMake's FindJNI asks for AWT and the JVM library by default, and a headless
# JDK has no AWT, so only the JVM component is requested (the headers come
# with it). When JAVA_HOME is not set, the JDK is taken from the javac on PATH.
if(TARNWICK_CRYPTO_ONLY)
  return()
endif()

if(WIN32 AND CMAKE_CROSSCOMPILING)
  # No Windows JDK here: jni.h is platform independent, and the Windows
  # jni_md.h is ours (cmake/win-jni). The toolchain file passes the JDK's
  # include directory in TARNWICK_JDK_INCLUDE.
  if(NOT TARNWICK_JDK_INCLUDE)
    message(FATAL_ERROR "Set TARNWICK_JDK_INCLUDE to a JDK's include directory")
  endif()
  add_library(tarnwick_jni_headers INTERFACE)
  target_include_directories(tarnwick_jni_headers SYSTEM INTERFACE
    ${CMAKE_CURRENT_LIST_DIR}/win-jni ${TARNWICK_JDK_INCLUDE})
  return()
endif()

if(CMAKE_CROSSCOMPILING AND CMAKE_SYSTEM_NAME STREQUAL "Linux")
  # Cross-compiling for Linux on another processor (aarch64): jni.h and the
  # Linux jni_md.h are the same on every Linux, so the host JDK's serve. They
  # come from TARNWICK_JDK_INCLUDE, else from JAVA_HOME, the javac on PATH or
  # Debian's default-java.
  if(NOT TARNWICK_JDK_INCLUDE)
    set(_jdk_candidates "")
    if(DEFINED ENV{JAVA_HOME})
      list(APPEND _jdk_candidates "$ENV{JAVA_HOME}/include")
    endif()
    find_program(TARNWICK_HOST_JAVAC javac NO_CMAKE_FIND_ROOT_PATH)
    if(TARNWICK_HOST_JAVAC)
      get_filename_component(_javac_real "${TARNWICK_HOST_JAVAC}" REALPATH)
      get_filename_component(_jdk_bin "${_javac_real}" DIRECTORY)
      get_filename_component(_jdk "${_jdk_bin}" DIRECTORY)
      list(APPEND _jdk_candidates "${_jdk}/include")
    endif()
    list(APPEND _jdk_candidates /usr/lib/jvm/default-java/include)
    foreach(_inc IN LISTS _jdk_candidates)
      if(EXISTS "${_inc}/jni.h" AND EXISTS "${_inc}/linux/jni_md.h")
        set(TARNWICK_JDK_INCLUDE "${_inc}" CACHE PATH "A JDK's include directory (jni.h)")
        break()
      endif()
    endforeach()
  endif()
  if(NOT TARNWICK_JDK_INCLUDE)
    message(FATAL_ERROR "No JDK with jni.h found; set TARNWICK_JDK_INCLUDE to a JDK's include directory")
  endif()
  add_library(tarnwick_jni_headers INTERFACE)
  target_include_directories(tarnwick_jni_headers SYSTEM INTERFACE
    ${TARNWICK_JDK_INCLUDE} ${TARNWICK_JDK_INCLUDE}/linux)
  find_package(Java 11 COMPONENTS Development Runtime)
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

find_package(JNI REQUIRED COMPONENTS JVM)
add_library(tarnwick_jni_headers INTERFACE)
target_include_directories(tarnwick_jni_headers SYSTEM INTERFACE ${JAVA_INCLUDE_PATH} ${JAVA_INCLUDE_PATH2})

find_package(Java 11 COMPONENTS Development Runtime)

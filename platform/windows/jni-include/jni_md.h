/*
 * Machine-dependent JNI definitions for Windows x86-64, used when the
 * library is cross-built: no Windows JDK is needed, jni.h is the same on
 * every platform. cmake/Jni.cmake puts this directory ahead of the JDK's
 * include directory, whose own jni_md.h lives in a platform subdirectory
 * that is never on the include path.
 *
 * Plain C89 and C++, for GCC (MinGW-w64), Clang and MSVC alike.
 */
#ifndef TARNWICK_WIN_JNI_MD_H
#define TARNWICK_WIN_JNI_MD_H

#ifndef _WIN32
#error "platform/windows/jni-include/jni_md.h is for Windows targets only"
#endif

#define JNIEXPORT __declspec(dllexport)
#define JNIIMPORT __declspec(dllimport)
/* Ignored on x86-64, which has a single calling convention; it decorates
 * names only on 32-bit x86. */
#define JNICALL __stdcall

/* Windows is LLP64: long stays 32 bits wide on 64-bit Windows. */
typedef long jint;
typedef __int64 jlong;
typedef signed char jbyte;

/* The JVM passes these across the boundary by width, so a wrong width would
 * corrupt every call silently: refuse to compile instead. */
#ifdef __cplusplus
static_assert(sizeof(jint) == 4, "jint must be 32 bits wide");
static_assert(sizeof(jlong) == 8, "jlong must be 64 bits wide");
static_assert(sizeof(jbyte) == 1, "jbyte must be 8 bits wide");
#else
typedef char tarnwick_jni_md_jint_is_32_bits[sizeof(jint) == 4 ? 1 : -1];
typedef char tarnwick_jni_md_jlong_is_64_bits[sizeof(jlong) == 8 ? 1 : -1];
typedef char tarnwick_jni_md_jbyte_is_8_bits[sizeof(jbyte) == 1 ? 1 : -1];
#endif

#endif /* TARNWICK_WIN_JNI_MD_H */

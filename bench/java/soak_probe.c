/*
 * The soak run's view of the native heap: bytes in use in glibc's malloc,
 * all arenas and mmapped blocks included. Loaded only by tarnwick.bench.Soak.
 */
#include <jni.h>
#include <malloc.h>

JNIEXPORT jlong JNICALL Java_tarnwick_bench_Soak_nativeHeapInUse(JNIEnv* env, jclass soak) {
    (void)env;
    (void)soak;
    struct mallinfo2 info = mallinfo2();
    return (jlong)(info.uordblks + info.hblkhd);
}

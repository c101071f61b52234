// The one policy at the JNI boundary: no C++ exception reaches the JVM.
#ifndef TARNWICK_JNI_BOUNDARY_H
#define TARNWICK_JNI_BOUNDARY_H

#include <jni.h>

#include <new>

#include "jni_util.h"

namespace tarnwick {

// Runs an entry point's body. A failed native allocation becomes a pending
// OutOfMemoryError; any other C++ exception (none is expected) becomes a
// pending java.lang.Error. An exception already pending is left as it is.
template <typename Body>
void runAtBoundary(JNIEnv* env, Body&& body) noexcept {
    try {
        body();
    } catch (const std::bad_alloc&) {
        throwOutOfMemoryError(env, "native allocation failed");
    } catch (...) {
        throwNew(env, "java/lang/Error", "unexpected native failure");
    }
}

}  // namespace tarnwick

#endif

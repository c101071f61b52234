// RAII holder for the modified UTF-8 copy of a Java string.
#ifndef TARNWICK_JNI_SCOPED_UTF_CHARS_H
#define TARNWICK_JNI_SCOPED_UTF_CHARS_H

#include <jni.h>

#include "jni_util.h"

namespace tarnwick {

// Copies a Java string out as NUL-terminated modified UTF-8 and releases the
// copy when it goes out of scope. A null string is never handed to
// GetStringUTFChars: instead a NullPointerException "<name> is null" is thrown
// and c_str() is null, so the caller returns at once. A failed copy leaves the
// JVM's OutOfMemoryError pending and c_str() null as well.
class ScopedUtfChars {
public:
    ScopedUtfChars(JNIEnv* env, jstring string, const char* name)
        : env_(env), string_(string), chars_(nullptr) {
        if (string == nullptr) {
            throwNullPointerException(env, name);
            return;
        }
        chars_ = env->GetStringUTFChars(string, nullptr);
    }

    ~ScopedUtfChars() {
        // ReleaseStringUTFChars is safe with an exception pending.
        if (chars_ != nullptr) env_->ReleaseStringUTFChars(string_, chars_);
    }

    ScopedUtfChars(const ScopedUtfChars&) = delete;
    ScopedUtfChars& operator=(const ScopedUtfChars&) = delete;

    const char* c_str() const { return chars_; }

    // Releases the copy now rather than at the end of the scope.
    void release() {
        if (chars_ != nullptr) env_->ReleaseStringUTFChars(string_, chars_);
        chars_ = nullptr;
    }

private:
    JNIEnv* env_;
    jstring string_;
    const char* chars_;
};

}  // namespace tarnwick

#endif

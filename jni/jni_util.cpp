#include "jni_util.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace tarnwick {

void throwNew(JNIEnv* env, const char* className, const char* message) {
    if (env->ExceptionCheck()) return;
    jclass cls = env->FindClass(className);
    if (cls == nullptr) return;  // NoClassDefFoundError is pending instead
    env->ThrowNew(cls, message);
    // The class reference is left to the JVM, which frees it when the native
    // method returns.
}

void throwNullPointerException(JNIEnv* env, const char* what) {
    char message[128];
    std::snprintf(message, sizeof message, "%s is null", what);
    throwNew(env, "java/lang/NullPointerException", message);
}

void throwOutOfMemoryError(JNIEnv* env, const char* message) {
    throwNew(env, "java/lang/OutOfMemoryError", message);
}

jthrowable takePendingException(JNIEnv* env) {
    jthrowable pending = env->ExceptionOccurred();
    if (pending != nullptr) env->ExceptionClear();
    return pending;
}

jobject requireResult(JNIEnv* env, jobject result, const char* what) {
    if (env->ExceptionCheck()) return nullptr;
    if (result == nullptr) {
        char message[160];
        std::snprintf(message, sizeof message, "%s returned null", what);
        throwNew(env, "java/lang/NullPointerException", message);
    }
    return result;
}

jmethodID getMethodNamingFailure(JNIEnv* env, jclass cls, const char* className, const char* name,
                                 const char* descriptor) {
    jmethodID method = env->GetMethodID(cls, name, descriptor);
    if (method != nullptr) return method;
    jthrowable failure = takePendingException(env);
    if (failure == nullptr) return nullptr;
    jclass noSuchMethod = env->FindClass("java/lang/NoSuchMethodError");
    if (noSuchMethod == nullptr || !env->IsInstanceOf(failure, noSuchMethod)) {
        // Not a missing member (or nothing to name it with): hand on the
        // lookup's own failure.
        if (env->ExceptionCheck()) env->ExceptionClear();
        env->Throw(failure);
        return nullptr;
    }
    const std::string message = std::string(className) + "." + name + descriptor;
    env->ThrowNew(noSuchMethod, message.c_str());
    return nullptr;
}

void callCompletion(JNIEnv* env, jobject completion, jobject result, jthrowable failure) {
    jclass biConsumer = env->FindClass("java/util/function/BiConsumer");
    if (biConsumer == nullptr) return;
    jmethodID accept =
        env->GetMethodID(biConsumer, "accept", "(Ljava/lang/Object;Ljava/lang/Object;)V");
    if (accept == nullptr) return;
    env->CallVoidMethod(completion, accept, result, failure);
}

void failCompletionWithPendingException(JNIEnv* env, jobject completion) {
    jthrowable failure = takePendingException(env);
    if (failure == nullptr) return;
    callCompletion(env, completion, nullptr, failure);
}

}  // namespace tarnwick

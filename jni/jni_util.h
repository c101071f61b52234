// Small JNI helpers shared by the entry points and the request layer.
//
// Contract of every helper that calls Java: it returns null (or false) with a
// Java exception pending when anything it called threw, and makes no further
// JNI call after that. Callers check the result before their next JNI call.
#ifndef TARNWICK_JNI_JNI_UTIL_H
#define TARNWICK_JNI_JNI_UTIL_H

#include <jni.h>

namespace tarnwick {

// Local references one entry point may hold at once. Reserved up front, so
// references can be left for the JVM to free when the native method returns.
constexpr jint kLocalReferenceBudget = 64;

// Throws a new exception of the named class. Returns silently (leaving the
// pending exception alone) if one is already pending. No JNI call may follow
// but the exception functions and ReleaseStringUTFChars.
void throwNew(JNIEnv* env, const char* className, const char* message);

// Throws NullPointerException with the message "<what> is null".
void throwNullPointerException(JNIEnv* env, const char* what);

// Throws OutOfMemoryError, unless an exception is already pending.
void throwOutOfMemoryError(JNIEnv* env, const char* message);

// Takes the pending exception and clears it. Returns null if none is pending.
jthrowable takePendingException(JNIEnv* env);

// Checks a Java call's result: null with the exception left pending if the
// call threw; a NullPointerException "<what> returned null" if it returned
// null without throwing; otherwise the result itself.
jobject requireResult(JNIEnv* env, jobject result, const char* what);

// GetMethodID, with a failure that names what was missing: when the lookup
// throws NoSuchMethodError, it is replaced by one whose message is
// "<className>.<name><descriptor>", for example
// "java/io/InputStream.readAllBytes()[B", where the JVM's own names the
// member only. Any other failure stays pending as it was.
jmethodID getMethodNamingFailure(JNIEnv* env, jclass cls, const char* className, const char* name,
                                 const char* descriptor);

// Calls completion.accept(result, failure). Afterwards an exception may be
// pending: the one the completion threw.
void callCompletion(JNIEnv* env, jobject completion, jobject result, jthrowable failure);

// Takes and clears the pending exception and hands it to the completion as
// (null, throwable). Does nothing if no exception is pending.
void failCompletionWithPendingException(JNIEnv* env, jobject completion);

}  // namespace tarnwick

#endif

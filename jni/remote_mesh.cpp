// loadRemoteMesh: downloads one encrypted model file, decrypts it and has the
// modification's asset loader build the mesh. Unlike the service calls it
// blocks the calling thread and calls the completion itself, before it
// returns, with (mesh, null) or (null, throwable); an answer other than 200
// throws IllegalStateException instead.
#include <jni.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "boundary.h"
#include "fault_point.h"
#include "jni_util.h"
#include "model_payload.h"
#include "modified_utf8.h"
#include "requests.h"
#include "scoped_utf_chars.h"
#include "url.h"

namespace tarnwick {
namespace {

constexpr jint kStatusOk = 200;

// Closes a body stream whose reading failed, so that the HTTP client drops
// the connection rather than keeping it open with unread data. Takes the
// pending read failure and leaves it pending again; should close fail too,
// that failure is attached to it as suppressed, never reported in its place.
void closeAfterFailedRead(JNIEnv* env, jobject stream, jclass streamClass) {
    jthrowable readFailure = takePendingException(env);
    jmethodID close = env->GetMethodID(streamClass, "close", "()V");
    if (close != nullptr) env->CallVoidMethod(stream, close);
    if (jthrowable closeFailure = takePendingException(env)) {
        jclass throwableClass = env->FindClass("java/lang/Throwable");
        jmethodID addSuppressed =
            throwableClass == nullptr
                ? nullptr
                : env->GetMethodID(throwableClass, "addSuppressed", "(Ljava/lang/Throwable;)V");
        if (addSuppressed != nullptr) env->CallVoidMethod(readFailure, addSuppressed, closeFailure);
        if (env->ExceptionCheck()) env->ExceptionClear();  // the read failure still goes first
    }
    env->Throw(readFailure);
}

// Reads the status and the whole body of an HttpResponse<InputStream>. A
// body read to its end is left open: that hands the connection back to the
// client's pool. A body whose reading fails is closed. Returns null with an
// exception pending on failure.
jbyteArray readWholeBody(JNIEnv* env, jobject response, jint* status) {
    jclass responseClass = env->FindClass("java/net/http/HttpResponse");
    if (responseClass == nullptr) return nullptr;
    jmethodID statusCode = env->GetMethodID(responseClass, "statusCode", "()I");
    if (statusCode == nullptr) return nullptr;
    jmethodID body = env->GetMethodID(responseClass, "body", "()Ljava/lang/Object;");
    if (body == nullptr) return nullptr;
    jclass streamClass = env->FindClass("java/io/InputStream");
    if (streamClass == nullptr) return nullptr;
    jmethodID readAllBytes = env->GetMethodID(streamClass, "readAllBytes", "()[B");
    if (readAllBytes == nullptr) return nullptr;

    *status = env->CallIntMethod(response, statusCode);
    if (env->ExceptionCheck()) return nullptr;
    jobject stream = requireResult(env, env->CallObjectMethod(response, body), "HttpResponse.body");
    if (stream == nullptr) return nullptr;
    if (!env->IsInstanceOf(stream, streamClass)) {
        throwNew(env, "java/lang/ClassCastException", "HttpResponse.body is not an InputStream");
        return nullptr;
    }
    jobject bytes = env->CallObjectMethod(stream, readAllBytes);
    if (env->ExceptionCheck()) {
        closeAfterFailedRead(env, stream, streamClass);
        return nullptr;
    }
    return static_cast<jbyteArray>(requireResult(env, bytes, "InputStream.readAllBytes"));
}

// new ByteArrayInputStream(a new byte[] holding text[0..length)).
jobject newTextStream(JNIEnv* env, const std::uint8_t* text, jsize length) {
    jclass streamClass = env->FindClass("java/io/ByteArrayInputStream");
    if (streamClass == nullptr) return nullptr;
    jmethodID constructor = env->GetMethodID(streamClass, "<init>", "([B)V");
    if (constructor == nullptr) return nullptr;
    jbyteArray array = env->NewByteArray(length);
    if (array == nullptr) return nullptr;
    if (length > 0) env->SetByteArrayRegion(array, 0, length, reinterpret_cast<const jbyte*>(text));
    return requireResult(env, env->NewObject(streamClass, constructor, array),
                         "new ByteArrayInputStream");
}

// new JsonAssetLoader(stream, null).loadMesh(true). The mesh may be null.
// Returns false with an exception pending on failure.
bool loadMesh(JNIEnv* env, jobject stream, jobject* mesh) {
    jclass loaderClass = env->FindClass("vardel/tarnwick/api/asset/JsonAssetLoader");
    if (loaderClass == nullptr) return false;
    jmethodID constructor =
        env->GetMethodID(loaderClass, "<init>",
                         "(Ljava/io/InputStream;Lnet/minecraft/resources/ResourceLocation;)V");
    if (constructor == nullptr) return false;
    jmethodID loadMeshMethod =
        env->GetMethodID(loaderClass, "loadMesh", "(Z)Lvardel/tarnwick/api/client/model/Mesh;");
    if (loadMeshMethod == nullptr) return false;

    jobject noResourceLocation = nullptr;
    jobject loader = env->NewObject(loaderClass, constructor, stream, noResourceLocation);
    if (env->ExceptionCheck()) return false;
    *mesh = env->CallObjectMethod(loader, loadMeshMethod, JNI_TRUE);
    return !env->ExceptionCheck();
}

// Sets the current thread's interrupt status again. A blocking send that
// was interrupted reports it with InterruptedException and clears the
// status; since the exception goes to the completion rather than up the
// stack, the status is restored as Java code that swallows it must do.
// Called with no exception pending; leaves none pending.
void restoreInterruptIfInterrupted(JNIEnv* env, jthrowable failure) {
    jclass interrupted = env->FindClass("java/lang/InterruptedException");
    if (interrupted != nullptr && env->IsInstanceOf(failure, interrupted)) {
        jclass threadClass = env->FindClass("java/lang/Thread");
        jmethodID currentThread =
            threadClass == nullptr
                ? nullptr
                : env->GetStaticMethodID(threadClass, "currentThread", "()Ljava/lang/Thread;");
        jmethodID interrupt =
            currentThread == nullptr ? nullptr : env->GetMethodID(threadClass, "interrupt", "()V");
        if (interrupt != nullptr) {
            jobject thread = env->CallStaticObjectMethod(threadClass, currentThread);
            if (!env->ExceptionCheck() && thread != nullptr) {
                env->CallVoidMethod(thread, interrupt);
            }
        }
    }
    // Nothing above should throw; if it did, the send's failure is still
    // the one the completion must see.
    if (env->ExceptionCheck()) env->ExceptionClear();
}

void reportSendFailure(JNIEnv* env, jobject completion) {
    jthrowable failure = takePendingException(env);
    if (failure == nullptr) return;
    restoreInterruptIfInterrupted(env, failure);
    callCompletion(env, completion, nullptr, failure);
}

void loadRemoteMesh(JNIEnv* env, jclass caller, jstring baseUrl, jstring modelName,
                    jobject completion) {
    std::string url;
    {
        ScopedUtfChars base(env, baseUrl, "baseUrl");
        if (base.c_str() == nullptr) return;
        ScopedUtfChars name(env, modelName, "modelName");
        if (name.c_str() == nullptr) return;
        allocationFaultPoint();
        url = composeUrl(base.c_str(), kModelTemplate, {name.c_str()});
    }
    url += kModelSuffix;
    if (completion == nullptr) {
        throwNullPointerException(env, "completion");
        return;
    }
    if (env->EnsureLocalCapacity(kLocalReferenceBudget) != JNI_OK) return;

    // Send, and wait for the response head.
    jobject request = newGetRequest(env, url.c_str());
    if (request == nullptr) return failCompletionWithPendingException(env, completion);
    bool clientIsNull = false;
    jobject client = readSharedClient(env, caller, &clientIsNull);
    if (clientIsNull) return;  // NullPointerException left for the caller
    if (client == nullptr) return failCompletionWithPendingException(env, completion);
    jobject response = sendBlockingForStream(env, client, request);
    if (response == nullptr) return reportSendFailure(env, completion);

    // Read the whole body, whatever the status.
    jint status = 0;
    jbyteArray bodyArray = readWholeBody(env, response, &status);
    if (bodyArray == nullptr) return failCompletionWithPendingException(env, completion);
    const jsize bodyLength = env->GetArrayLength(bodyArray);
    std::unique_ptr<std::uint8_t[]> body(new (std::nothrow)
                                             std::uint8_t[bodyLength > 0 ? bodyLength : 1]);
    if (body == nullptr) return throwOutOfMemoryError(env, "cannot copy the model download");
    env->GetByteArrayRegion(bodyArray, 0, bodyLength, reinterpret_cast<jbyte*>(body.get()));
    env->DeleteLocalRef(bodyArray);  // the Java copy may be collected from here on
    const std::size_t size = static_cast<std::size_t>(bodyLength);

    if (status != kStatusOk) {
        std::string message = failedDownloadMessage(status, body.get(), size);
        body.reset();
        throwNew(env, "java/lang/IllegalStateException", message.c_str());
        return;
    }

    // Decrypt; the loader gets the text up to its first zero byte.
    std::vector<std::uint8_t> plaintext = decodeModelPayload(body.get(), size);
    body.reset();
    // An empty vector's data() may be null, and memchr must not see null.
    std::size_t textLength = plaintext.size();
    if (textLength > 0) {
        if (const void* zero = std::memchr(plaintext.data(), 0, textLength)) {
            textLength =
                static_cast<std::size_t>(static_cast<const std::uint8_t*>(zero) - plaintext.data());
        }
    }
    jobject stream = newTextStream(env, plaintext.data(), static_cast<jsize>(textLength));
    std::vector<std::uint8_t>().swap(plaintext);
    if (stream == nullptr) return failCompletionWithPendingException(env, completion);

    jobject mesh = nullptr;
    if (!loadMesh(env, stream, &mesh)) return failCompletionWithPendingException(env, completion);
    // Nothing follows accept: whatever the completion throws reaches the caller.
    callCompletion(env, completion, mesh, nullptr);
}

}  // namespace
}  // namespace tarnwick

extern "C" JNIEXPORT void JNICALL
Java_vardel_tarnwick_api_client_online_TarnwickServerConnectionHelper_loadRemoteMesh(
    JNIEnv* env, jclass caller, jstring baseUrl, jstring modelName, jobject completion) {
    tarnwick::runAtBoundary(
        env, [&] { tarnwick::loadRemoteMesh(env, caller, baseUrl, modelName, completion); });
}

// loadRemoteMesh: downloads one encrypted model file, decrypts it and has the
// modification's asset loader build the mesh. Unlike the service calls it
// blocks the calling thread and calls the completion itself, before it
// returns, with (mesh, null) or (null, throwable); an answer other than 200
// throws IllegalStateException instead.
#include <jni.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "boundary.h"
#include "fault_point.h"
#include "jni_util.h"
#include "model_payload.h"
#include "requests.h"
#include "scoped_utf_chars.h"
#include "url.h"

namespace tarnwick {
namespace {

constexpr jint kStatusOk = 200;

// Blocks decoded per critical section: 1 MiB. While a section is open the
// garbage collector may have to wait, and the table cipher (CPUs without AES
// instructions) decrypts about 300 MiB/s, so a section lasts a few
// milliseconds at most. Leaving and re-entering costs next to nothing.
constexpr std::uint32_t kSliceBlocks = (1u << 20) / 16;

// One critical section over a primitive array: its elements, where the JVM
// keeps them, from construction to destruction. No other JNI call may be
// made while one is open, only nested critical sections. The release mode is
// 0 for an array written to, JNI_ABORT for one only read (a JVM that handed
// out a copy then drops it).
class CriticalArray {
public:
    CriticalArray(JNIEnv* env, jarray array, jint releaseMode)
        : env_(env),
          array_(array),
          releaseMode_(releaseMode),
          elements_(static_cast<std::uint8_t*>(env->GetPrimitiveArrayCritical(array, nullptr))) {}
    CriticalArray(const CriticalArray&) = delete;
    CriticalArray& operator=(const CriticalArray&) = delete;
    // JNI allows this release with an exception pending; it is the only way
    // out of the section.
    ~CriticalArray() {
        if (elements_ != nullptr)
            env_->ReleasePrimitiveArrayCritical(array_, elements_, releaseMode_);
    }
    std::uint8_t* get() const { return elements_; }

private:
    JNIEnv* env_;
    jarray array_;
    jint releaseMode_;
    std::uint8_t* elements_;
};

// Leaves an OutOfMemoryError pending when a critical section could not be
// entered (the JVM may or may not have thrown one itself).
void failedToPin(JNIEnv* env) {
    throwOutOfMemoryError(env, "cannot reach the model download's bytes");
}

// The length of the body's text: up to its first zero byte, or all of it.
// Scans in slices, a critical section each. Returns -1 with an exception
// pending on failure.
jint textLengthOfBody(JNIEnv* env, jbyteArray body, jint length) {
    const jint slice = static_cast<jint>(kSliceBlocks * 16);
    for (jint at = 0; at < length; at += slice) {
        const std::size_t count =
            static_cast<std::size_t>(length - at < slice ? length - at : slice);
        CriticalArray bytes(env, body, JNI_ABORT);
        if (bytes.get() == nullptr) {  // no section was entered
            failedToPin(env);
            return -1;
        }
        const std::uint8_t* from = bytes.get() + at;
        const void* zero = std::memchr(from, 0, count);
        if (zero != nullptr)
            return at + static_cast<jint>(static_cast<const std::uint8_t*>(zero) - from);
    }
    return length;
}

// Throws IllegalStateException("<status> <body as text>") for a failed
// download. The text is the body up to its first zero byte, decoded as UTF-8
// by the JVM with each malformed sequence replaced by U+FFFD: it is built on
// the Java heap from the downloaded array, so a large error body costs the
// native side nothing. Leaves an exception pending in every case.
void throwFailedDownload(JNIEnv* env, jint status, jbyteArray body) {
    const jint length = env->GetArrayLength(body);
    const jint textLength = textLengthOfBody(env, body, length);
    if (textLength < 0) return;

    jclass charsets = env->FindClass("java/nio/charset/StandardCharsets");
    if (charsets == nullptr) return;
    jfieldID utf8Field = env->GetStaticFieldID(charsets, "UTF_8", "Ljava/nio/charset/Charset;");
    if (utf8Field == nullptr) return;
    jobject utf8 = env->GetStaticObjectField(charsets, utf8Field);
    if (env->ExceptionCheck()) return;
    jclass stringClass = env->FindClass("java/lang/String");
    if (stringClass == nullptr) return;
    jmethodID fromBytes =
        env->GetMethodID(stringClass, "<init>", "([BIILjava/nio/charset/Charset;)V");
    if (fromBytes == nullptr) return;
    jmethodID concat =
        env->GetMethodID(stringClass, "concat", "(Ljava/lang/String;)Ljava/lang/String;");
    if (concat == nullptr) return;
    jclass illegalState = env->FindClass("java/lang/IllegalStateException");
    if (illegalState == nullptr) return;
    jmethodID withMessage = env->GetMethodID(illegalState, "<init>", "(Ljava/lang/String;)V");
    if (withMessage == nullptr) return;

    const std::string prefix = std::to_string(status) + " ";
    jstring head = env->NewStringUTF(prefix.c_str());
    if (head == nullptr) return;
    jobject text = env->NewObject(stringClass, fromBytes, body, jint{0}, textLength, utf8);
    if (env->ExceptionCheck()) return;
    jobject message = env->CallObjectMethod(head, concat, text);
    if (env->ExceptionCheck()) return;
    jobject failure = env->NewObject(illegalState, withMessage, message);
    if (env->ExceptionCheck()) return;
    env->Throw(static_cast<jthrowable>(failure));
}

// Decodes one slice of the body into the text array, both arrays in
// critical sections for the duration. After the last slice, sets *textEnd to
// the text's length up to its first zero byte. Inner blocks leave no zero
// byte in the text (each is cut before its first), so only the last block's
// at most 15 bytes can hold one. Returns false when a section could not be
// entered; both are left by then.
bool decodeSlice(JNIEnv* env, PayloadSliceDecoder& decoder, jbyteArray body, jbyteArray text,
                 std::size_t* textEnd) {
    CriticalArray in(env, body, JNI_ABORT);
    if (in.get() == nullptr) return false;
    CriticalArray out(env, text, 0);
    if (out.get() == nullptr) return false;
    decoder.decodeSlice(in.get(), out.get(), kSliceBlocks);
    if (decoder.finished()) {
        const std::size_t length = decoder.text().length;
        const std::size_t tail = length < 15 ? 0 : length - 15;
        const void* zero = length == 0 ? nullptr : std::memchr(out.get() + tail, 0, length - tail);
        *textEnd =
            zero == nullptr
                ? length
                : static_cast<std::size_t>(static_cast<const std::uint8_t*>(zero) - out.get());
    }
    return true;
}

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

// Decodes the body into a new Java byte array and wraps the text in a
// ByteArrayInputStream over its first bytes: new ByteArrayInputStream(text,
// 0, length). Nothing of the model is held in native memory.
//
// The array has room for the longest text the body can give (its length
// less one), so the decoder can write straight into it; the text is usually
// up to 16 bytes shorter, and shorter still when a zero byte cuts it. A
// stream over the range reads, skips, marks, resets and reports available()
// exactly as one over an array of the text alone: every public method works
// on the bytes between its position and its count, and the rest of the
// array is reachable only through the protected field of a subclass, which
// the loader does not have (the stream is made here). So the loader sees
// the bytes it would see from a copy, without the copy.
//
// Returns null with an exception pending on failure.
jobject decodeToTextStream(JNIEnv* env, jbyteArray body) {
    jclass streamClass = env->FindClass("java/io/ByteArrayInputStream");
    if (streamClass == nullptr) return nullptr;
    jmethodID constructor = env->GetMethodID(streamClass, "<init>", "([BII)V");
    if (constructor == nullptr) return nullptr;

    const std::size_t size = static_cast<std::size_t>(env->GetArrayLength(body));
    jbyteArray text = env->NewByteArray(static_cast<jsize>(payloadTextCapacity(size)));
    if (text == nullptr) return nullptr;

    std::uint8_t key[16];
    assembleModelKey(key);
    PayloadSliceDecoder decoder(key, size);
    std::size_t length = 0;  // the text the loader gets: up to its first zero byte
    while (!decoder.finished()) {
        if (!decodeSlice(env, decoder, body, text, &length)) {
            failedToPin(env);
            return nullptr;
        }
    }
    if (decoder.text().status == PayloadStatus::kPaddingMissing) printPaddingError();
    return requireResult(
        env, env->NewObject(streamClass, constructor, text, jint{0}, static_cast<jint>(length)),
        "new ByteArrayInputStream");
}

// new JsonAssetLoader(stream, null).loadMesh(true). The mesh may be null.
// Returns false with an exception pending on failure.
bool loadMesh(JNIEnv* env, jobject stream, jobject* mesh) {
    jclass loaderClass = env->FindClass("vardel/tarnwick/api/asset/JsonAssetLoader");
    if (loaderClass == nullptr) return false;
    jmethodID constructor = getMethodNamingFailure(
        env, loaderClass, "vardel/tarnwick/api/asset/JsonAssetLoader", "<init>",
        "(Ljava/io/InputStream;Lnet/minecraft/resources/ResourceLocation;)V");
    if (constructor == nullptr) return false;
    jmethodID loadMeshMethod =
        getMethodNamingFailure(env, loaderClass, "vardel/tarnwick/api/asset/JsonAssetLoader",
                               "loadMesh", "(Z)Lvardel/tarnwick/api/client/model/Mesh;");
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

// Inlined into the entry point, so that a crash log's frame inside the
// entry point resolves (addr2line -i) to a line of it, whatever the size of
// this body (tests/binaries/crash_frame.sh checks that).
__attribute__((always_inline)) inline void loadRemoteMesh(JNIEnv* env, jclass caller,
                                                          jstring baseUrl, jstring modelName,
                                                          jobject completion) {
    std::string url;
    {
        ScopedUtfChars base(env, baseUrl, "baseUrl");
        if (base.c_str() == nullptr) return;
        ScopedUtfChars name(env, modelName, "modelName");
        if (name.c_str() == nullptr) return;
        allocationFaultPoint();
        url = composeUrl(base.c_str(), endpoint::loadRemoteMesh, {name.c_str()});
    }
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

    if (status != kStatusOk) return throwFailedDownload(env, status, bodyArray);

    // Decrypt straight from the downloaded array into the loader's.
    jobject stream = decodeToTextStream(env, bodyArray);
    if (stream == nullptr) return failCompletionWithPendingException(env, completion);
    env->DeleteLocalRef(bodyArray);  // the download may be collected from here on

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

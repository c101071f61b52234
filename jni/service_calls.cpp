// The asynchronous account and cosmetics calls. Each copies the strings
// that go into its URL, composes the URL, builds the request, starts it on
// the caller's HTTP_CLIENT and attaches the caller's completion to the
// response future; none waits for the answer.
#include <jni.h>

#include <cstddef>
#include <optional>
#include <string>

#include "boundary.h"
#include "fault_point.h"
#include "jni_util.h"
#include "requests.h"
#include "scoped_utf_chars.h"
#include "url.h"

namespace tarnwick {
namespace {

constexpr std::size_t kMaxUrlArguments = 5;

struct NamedString {
    jstring value;
    const char* name;  // used in the NullPointerException message
};

// Copies the arguments out (baseUrl first), composes the URL and releases the
// copies. Returns false with a NullPointerException or OutOfMemoryError
// pending when an argument is null or cannot be copied.
template <std::size_t N>
bool composeFromArguments(JNIEnv* env, EndpointTemplate endpoint, const NamedString (&arguments)[N],
                          std::string& url) {
    static_assert(N >= 1 && N <= kMaxUrlArguments, "baseUrl and at most four placeholders");
    std::optional<ScopedUtfChars> copies[N];
    const char* texts[N] = {};
    for (std::size_t i = 0; i < N; ++i) {
        copies[i].emplace(env, arguments[i].value, arguments[i].name);
        texts[i] = copies[i]->c_str();
        if (texts[i] == nullptr) return false;
    }
    allocationFaultPoint();
    url = composeUrl(texts[0], endpoint, texts + 1, N - 1);
    return true;
}

// completion != null, or a NullPointerException "completion is null".
bool requireCompletion(JNIEnv* env, jobject completion) {
    if (completion != nullptr) return true;
    throwNullPointerException(env, "completion");
    return false;
}

// future.whenComplete(completion). The future it returns is dropped.
void attachCompletion(JNIEnv* env, jobject future, jobject completion) {
    jclass futureClass = env->FindClass("java/util/concurrent/CompletableFuture");
    if (futureClass == nullptr) return;
    jmethodID whenComplete = env->GetMethodID(
        futureClass, "whenComplete",
        "(Ljava/util/function/BiConsumer;)Ljava/util/concurrent/CompletableFuture;");
    if (whenComplete == nullptr) return;
    // Should whenComplete itself throw, the exception stays pending for the
    // Java caller: the completion may already have been attached or run, and
    // it must never be called twice.
    env->CallObjectMethod(future, whenComplete, completion);
}

// Builds the request for `url` (a JSON POST of `document` when it is given,
// otherwise a GET), starts it and attaches the completion. A Java exception
// raised while the request is built or sent is handed to the completion as
// (null, throwable) on this thread. Three failures are left pending for the
// caller instead: a null HTTP_CLIENT (NullPointerException), no room for the
// local references (OutOfMemoryError from EnsureLocalCapacity), and any
// failure while attaching the completion, which may already be attached.
void startRequest(JNIEnv* env, jclass caller, const std::string& url, jstring document,
                  jobject completion) {
    if (env->EnsureLocalCapacity(kLocalReferenceBudget) != JNI_OK) return;

    jobject request = document != nullptr ? newJsonPostRequest(env, url.c_str(), document)
                                          : newGetRequest(env, url.c_str());
    jobject future = nullptr;
    if (request != nullptr) {
        bool clientIsNull = false;
        jobject client = readSharedClient(env, caller, &clientIsNull);
        if (clientIsNull) return;
        if (client != nullptr) future = sendThroughSharedClient(env, client, request);
    }
    if (future == nullptr) {
        failCompletionWithPendingException(env, completion);
        return;
    }
    attachCompletion(env, future, completion);
}

template <std::size_t N>
void getCall(JNIEnv* env, jclass caller, EndpointTemplate endpoint,
             const NamedString (&arguments)[N], jobject completion) {
    runAtBoundary(env, [&] {
        std::string url;
        if (!composeFromArguments(env, endpoint, arguments, url)) return;
        if (!requireCompletion(env, completion)) return;
        startRequest(env, caller, url, nullptr, completion);
    });
}

// The account and cosmetics calls that send a player's UUID with the
// session's tokens and login provider.
void sessionCall(JNIEnv* env, jclass caller, EndpointTemplate endpoint, jstring baseUrl,
                 jstring uuid, jstring accessToken, jstring refreshToken, jstring provider,
                 jobject completion) {
    getCall(env, caller, endpoint,
            {{baseUrl, "baseUrl"},
             {uuid, "uuid"},
             {accessToken, "accessToken"},
             {refreshToken, "refreshToken"},
             {provider, "provider"}},
            completion);
}

}  // namespace
}  // namespace tarnwick

extern "C" {

JNIEXPORT void JNICALL
Java_vardel_tarnwick_api_client_online_TarnwickServerConnectionHelper_autoLogin(
    JNIEnv* env, jclass caller, jstring baseUrl, jstring uuid, jstring accessToken,
    jstring refreshToken, jstring provider, jobject completion) {
    tarnwick::sessionCall(env, caller, tarnwick::endpoint::autoLogin, baseUrl, uuid, accessToken,
                          refreshToken, provider, completion);
}

JNIEXPORT void JNICALL Java_vardel_tarnwick_api_client_online_TarnwickServerConnectionHelper_signIn(
    JNIEnv* env, jclass caller, jstring baseUrl, jstring uuid, jstring code, jobject completion) {
    tarnwick::getCall(env, caller, tarnwick::endpoint::signIn,
                      {{baseUrl, "baseUrl"}, {uuid, "uuid"}, {code, "code"}}, completion);
}

JNIEXPORT void JNICALL
Java_vardel_tarnwick_api_client_online_TarnwickServerConnectionHelper_signOut(
    JNIEnv* env, jclass caller, jstring baseUrl, jstring uuid, jstring accessToken,
    jstring refreshToken, jstring provider, jobject completion) {
    tarnwick::sessionCall(env, caller, tarnwick::endpoint::signOut, baseUrl, uuid, accessToken,
                          refreshToken, provider, completion);
}

JNIEXPORT void JNICALL
Java_vardel_tarnwick_api_client_online_TarnwickServerConnectionHelper_getAvailableCosmetics(
    JNIEnv* env, jclass caller, jstring baseUrl, jstring uuid, jstring accessToken,
    jstring refreshToken, jstring provider, jobject completion) {
    tarnwick::sessionCall(env, caller, tarnwick::endpoint::getAvailableCosmetics, baseUrl, uuid,
                          accessToken, refreshToken, provider, completion);
}

JNIEXPORT void JNICALL
Java_vardel_tarnwick_api_client_online_TarnwickServerConnectionHelper_saveConfiguration(
    JNIEnv* env, jclass caller, jstring baseUrl, jstring document, jobject completion) {
    tarnwick::runAtBoundary(env, [&] {
        std::string url;
        if (!tarnwick::composeFromArguments(env, tarnwick::endpoint::saveConfiguration,
                                            {{baseUrl, "baseUrl"}}, url))
            return;
        // The document is the request body; it is not copied out of the JVM.
        if (document == nullptr) {
            tarnwick::throwNullPointerException(env, "document");
            return;
        }
        if (!tarnwick::requireCompletion(env, completion)) return;
        tarnwick::startRequest(env, caller, url, document, completion);
    });
}

JNIEXPORT void JNICALL
Java_vardel_tarnwick_api_client_online_TarnwickServerConnectionHelper_getPlayerSkinInfo(
    JNIEnv* env, jclass caller, jstring baseUrl, jstring uuid, jobject completion) {
    tarnwick::getCall(env, caller, tarnwick::endpoint::getPlayerSkinInfo,
                      {{baseUrl, "baseUrl"}, {uuid, "uuid"}}, completion);
}

}  // extern "C"

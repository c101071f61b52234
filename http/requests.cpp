#include "requests.h"

#include "jni_util.h"

namespace tarnwick {
namespace {

constexpr char kBuilderClass[] = "java/net/http/HttpRequest$Builder";
constexpr char kBuilderReturn[] = "()Ljava/net/http/HttpRequest$Builder;";

// HttpRequest.newBuilder()
jobject newRequestBuilder(JNIEnv* env) {
    jclass requestClass = env->FindClass("java/net/http/HttpRequest");
    if (requestClass == nullptr) return nullptr;
    jmethodID newBuilder = env->GetStaticMethodID(requestClass, "newBuilder", kBuilderReturn);
    if (newBuilder == nullptr) return nullptr;
    return requireResult(env, env->CallStaticObjectMethod(requestClass, newBuilder),
                         "HttpRequest.newBuilder");
}

// URI.create(url)
jobject createUri(JNIEnv* env, const char* url) {
    jclass uriClass = env->FindClass("java/net/URI");
    if (uriClass == nullptr) return nullptr;
    jmethodID create =
        env->GetStaticMethodID(uriClass, "create", "(Ljava/lang/String;)Ljava/net/URI;");
    if (create == nullptr) return nullptr;
    jstring urlString = env->NewStringUTF(url);
    if (urlString == nullptr) return nullptr;
    return requireResult(env, env->CallStaticObjectMethod(uriClass, create, urlString),
                         "URI.create");
}

// builder.uri(uri).build()
jobject finishRequest(JNIEnv* env, jclass builderClass, jobject builder, jobject uri) {
    jmethodID uriMethod = env->GetMethodID(builderClass, "uri",
                                           "(Ljava/net/URI;)Ljava/net/http/HttpRequest$Builder;");
    if (uriMethod == nullptr) return nullptr;
    jmethodID build = env->GetMethodID(builderClass, "build", "()Ljava/net/http/HttpRequest;");
    if (build == nullptr) return nullptr;
    builder = requireResult(env, env->CallObjectMethod(builder, uriMethod, uri),
                            "HttpRequest.Builder.uri");
    if (builder == nullptr) return nullptr;
    return requireResult(env, env->CallObjectMethod(builder, build), "HttpRequest.Builder.build");
}

// HttpResponse.BodyHandlers.<factory>()
jobject bodyHandler(JNIEnv* env, const char* factory) {
    jclass handlers = env->FindClass("java/net/http/HttpResponse$BodyHandlers");
    if (handlers == nullptr) return nullptr;
    jmethodID method =
        env->GetStaticMethodID(handlers, factory, "()Ljava/net/http/HttpResponse$BodyHandler;");
    if (method == nullptr) return nullptr;
    return requireResult(env, env->CallStaticObjectMethod(handlers, method),
                         "HttpResponse.BodyHandlers");
}

// client.<method>(request, handler) where method is send or sendAsync.
jobject callSend(JNIEnv* env, jobject client, jobject request, const char* handlerFactory,
                 const char* method, const char* descriptor, const char* what) {
    jobject handler = bodyHandler(env, handlerFactory);
    if (handler == nullptr) return nullptr;
    jclass clientClass = env->FindClass("java/net/http/HttpClient");
    if (clientClass == nullptr) return nullptr;
    jmethodID send = env->GetMethodID(clientClass, method, descriptor);
    if (send == nullptr) return nullptr;
    return requireResult(env, env->CallObjectMethod(client, send, request, handler), what);
}

}  // namespace

jobject newGetRequest(JNIEnv* env, const char* url) {
    jobject builder = newRequestBuilder(env);
    if (builder == nullptr) return nullptr;
    jclass builderClass = env->FindClass(kBuilderClass);
    if (builderClass == nullptr) return nullptr;
    jmethodID get = env->GetMethodID(builderClass, "GET", kBuilderReturn);
    if (get == nullptr) return nullptr;
    jobject uri = createUri(env, url);
    if (uri == nullptr) return nullptr;

    builder = requireResult(env, env->CallObjectMethod(builder, get), "HttpRequest.Builder.GET");
    if (builder == nullptr) return nullptr;
    return finishRequest(env, builderClass, builder, uri);
}

jobject newJsonPostRequest(JNIEnv* env, const char* url, jstring document) {
    jobject builder = newRequestBuilder(env);
    if (builder == nullptr) return nullptr;
    jclass builderClass = env->FindClass(kBuilderClass);
    if (builderClass == nullptr) return nullptr;
    jmethodID post = env->GetMethodID(
        builderClass, "POST",
        "(Ljava/net/http/HttpRequest$BodyPublisher;)Ljava/net/http/HttpRequest$Builder;");
    if (post == nullptr) return nullptr;
    jmethodID header = env->GetMethodID(
        builderClass, "header",
        "(Ljava/lang/String;Ljava/lang/String;)Ljava/net/http/HttpRequest$Builder;");
    if (header == nullptr) return nullptr;
    jobject uri = createUri(env, url);
    if (uri == nullptr) return nullptr;

    jstring headerName = env->NewStringUTF("Content-Type");
    if (headerName == nullptr) return nullptr;
    jstring headerValue = env->NewStringUTF("application/json");
    if (headerValue == nullptr) return nullptr;

    // The caller's string goes to the publisher as it is; the JVM encodes it.
    jclass publishers = env->FindClass("java/net/http/HttpRequest$BodyPublishers");
    if (publishers == nullptr) return nullptr;
    jmethodID ofString = env->GetStaticMethodID(
        publishers, "ofString", "(Ljava/lang/String;)Ljava/net/http/HttpRequest$BodyPublisher;");
    if (ofString == nullptr) return nullptr;
    jobject publisher =
        requireResult(env, env->CallStaticObjectMethod(publishers, ofString, document),
                      "HttpRequest.BodyPublishers.ofString");
    if (publisher == nullptr) return nullptr;

    builder = requireResult(env, env->CallObjectMethod(builder, post, publisher),
                            "HttpRequest.Builder.POST");
    if (builder == nullptr) return nullptr;
    builder = requireResult(env, env->CallObjectMethod(builder, header, headerName, headerValue),
                            "HttpRequest.Builder.header");
    if (builder == nullptr) return nullptr;
    return finishRequest(env, builderClass, builder, uri);
}

jobject readSharedClient(JNIEnv* env, jclass callerClass, bool* clientIsNull) {
    *clientIsNull = false;
    jfieldID field =
        env->GetStaticFieldID(callerClass, "HTTP_CLIENT", "Ljava/net/http/HttpClient;");
    if (field == nullptr) return nullptr;
    jobject client = env->GetStaticObjectField(callerClass, field);
    if (client == nullptr) {
        *clientIsNull = true;
        throwNullPointerException(env, "HTTP_CLIENT");
    }
    return client;
}

jobject sendThroughSharedClient(JNIEnv* env, jobject client, jobject request) {
    return callSend(env, client, request, "ofString", "sendAsync",
                    "(Ljava/net/http/HttpRequest;Ljava/net/http/HttpResponse$BodyHandler;)"
                    "Ljava/util/concurrent/CompletableFuture;",
                    "HttpClient.sendAsync");
}

jobject sendBlockingForStream(JNIEnv* env, jobject client, jobject request) {
    return callSend(env, client, request, "ofInputStream", "send",
                    "(Ljava/net/http/HttpRequest;Ljava/net/http/HttpResponse$BodyHandler;)"
                    "Ljava/net/http/HttpResponse;",
                    "HttpClient.send");
}

}  // namespace tarnwick

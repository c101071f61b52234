// Request construction and dispatch through the JVM's java.net.http client.
//
// Every function here returns a local reference, or null with a Java
// exception pending (see jni_util.h). The caller keeps ownership of `url`.
#ifndef TARNWICK_HTTP_REQUESTS_H
#define TARNWICK_HTTP_REQUESTS_H

#include <jni.h>

namespace tarnwick {

// An HttpRequest that GETs `url` (modified UTF-8) and adds no header.
jobject newGetRequest(JNIEnv* env, const char* url);

// An HttpRequest that POSTs `document` (the caller's Java string, published
// as UTF-8 by the JVM) to `url` with the one header
// "Content-Type: application/json".
jobject newJsonPostRequest(JNIEnv* env, const char* url, jstring document);

// The caller's static HttpClient HTTP_CLIENT. When the field holds null,
// returns null with a NullPointerException "HTTP_CLIENT is null" pending and
// sets *clientIsNull, so callers can tell it from a failed lookup.
jobject readSharedClient(JNIEnv* env, jclass callerClass, bool* clientIsNull);

// client.sendAsync(request, BodyHandlers.ofString()): the CompletableFuture
// of an HttpResponse<String>.
jobject sendThroughSharedClient(JNIEnv* env, jobject client, jobject request);

// client.send(request, BodyHandlers.ofInputStream()): blocks until the
// response head has arrived and returns the HttpResponse<InputStream>.
jobject sendBlockingForStream(JNIEnv* env, jobject client, jobject request);

}  // namespace tarnwick

#endif

// The library's entry points: the static native methods of
// vardel.tarnwick.api.client.online.TarnwickServerConnectionHelper, one row each.
// Everything that lists them uses this table or is checked against it: the
// URL templates (url.h), the export checks of the .so and the DLL, the DLL
// loader test, the test bridge, the Java declarations and the demo's check.
// The scripts read the rows with scripts/lib.sh's entry_points, so keep each
// row on one line.
//
//   name         the Java method; the export is Java_<class with _>_<name>
//   parameters   the Java parameters' names, the class not counted
//   descriptor   the JNI descriptor; every parameter is a reference
//   request      how the URL is requested: "GET", "POST" (the string before
//                the completion is a JSON body) or "GET blocking" (send,
//                not sendAsync)
//   template     the path after baseUrl; each "{}" takes the next string
//                after baseUrl, in order
#ifndef TARNWICK_JNI_ENTRY_POINTS_H
#define TARNWICK_JNI_ENTRY_POINTS_H

#define TARNWICK_JAVA_CLASS "vardel/tarnwick/api/client/online/TarnwickServerConnectionHelper"
#define TARNWICK_EXPORT_PREFIX \
    "Java_vardel_tarnwick_api_client_online_TarnwickServerConnectionHelper_"

// clang-format off
#define TARNWICK_ENTRY_POINTS(X) \
X(autoLogin,             (baseUrl, uuid, accessToken, refreshToken, provider, completion), "(Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;Ljava/util/function/BiConsumer;)V", "GET",          "/auto_login?mc_uuid={}&access_token={}&refresh_token={}&provider={}") \
X(signIn,                (baseUrl, uuid, code, completion),                                  "(Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;Ljava/util/function/BiConsumer;)V",                                        "GET",          "/login_code?mc_uuid={}&code={}") \
X(signOut,               (baseUrl, uuid, accessToken, refreshToken, provider, completion), "(Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;Ljava/util/function/BiConsumer;)V", "GET",          "/logout?mc_uuid={}&access_token={}&refresh_token={}&provider={}") \
X(getAvailableCosmetics, (baseUrl, uuid, accessToken, refreshToken, provider, completion), "(Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;Ljava/util/function/BiConsumer;)V", "GET",          "/member/cosmetics?minecraft_uuid={}&access_token={}&refresh_token={}&provider={}") \
X(saveConfiguration,     (baseUrl, document, completion),                                    "(Ljava/lang/String;Ljava/lang/String;Ljava/util/function/BiConsumer;)V",                                                          "POST",         "/member/update_cosmetic") \
X(getPlayerSkinInfo,     (baseUrl, uuid, completion),                                        "(Ljava/lang/String;Ljava/lang/String;Ljava/util/function/BiConsumer;)V",                                                          "GET",          "/cosmetic/user_cosmetic?mc_uuid={}") \
X(loadRemoteMesh,        (baseUrl, modelName, completion),                                   "(Ljava/lang/String;Ljava/lang/String;Ljava/util/function/BiConsumer;)V",                                                          "GET blocking", "/models/{}.enc")
// clang-format on

#ifdef __cplusplus
#include <cstddef>

namespace tarnwick::entry_points {

// The index just after the type that starts at descriptor[i].
constexpr std::size_t afterType(const char* descriptor, std::size_t i) {
    while (descriptor[i] == '[') ++i;
    if (descriptor[i] == 'L') {
        while (descriptor[i] != ';' && descriptor[i] != '\0') ++i;
    }
    return descriptor[i] == '\0' ? i : i + 1;
}

// The number of parameters a JNI method descriptor declares.
constexpr std::size_t descriptorParameterCount(const char* descriptor) {
    std::size_t count = 0;
    for (std::size_t i = 1; descriptor[i] != ')' && descriptor[i] != '\0';
         i = afterType(descriptor, i))
        ++count;
    return count;
}

// Whether every parameter is a reference ('L' or '[') and the method is void:
// the test bridge forwards references only, and every entry point completes
// through its completion.
constexpr bool referencesOnlyReturningVoid(const char* descriptor) {
    std::size_t i = 1;
    for (; descriptor[i] != ')' && descriptor[i] != '\0'; i = afterType(descriptor, i)) {
        if (descriptor[i] != 'L' && descriptor[i] != '[') return false;
    }
    return descriptor[i] == ')' && descriptor[i + 1] == 'V' && descriptor[i + 2] == '\0';
}

constexpr std::size_t placeholderCount(const char* path) {
    std::size_t count = 0;
    for (std::size_t i = 0; path[i] != '\0'; ++i) {
        if (path[i] == '{' && path[i + 1] == '}') ++count, ++i;
    }
    return count;
}

constexpr bool isPost(const char* request) {
    return request[0] == 'P' && request[1] == 'O' && request[2] == 'S' && request[3] == 'T' &&
           request[4] == '\0';
}

}  // namespace tarnwick::entry_points

// The number of names in a row's parameters, up to nine.
#define TARNWICK_COUNT_NAMES(...) TARNWICK_COUNT_NAMES_(__VA_ARGS__, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0)
#define TARNWICK_COUNT_NAMES_(a1, a2, a3, a4, a5, a6, a7, a8, a9, count, ...) count

// Each row must agree with itself: as many names as the descriptor has
// parameters, references only, and one placeholder per string between
// baseUrl and the completion (a POST's last string is its body instead).
#define TARNWICK_CHECK_ROW(name, parameters, descriptor, request, path)               \
    static_assert(::tarnwick::entry_points::descriptorParameterCount(descriptor) ==   \
                      TARNWICK_COUNT_NAMES parameters,                                \
                  #name ": the descriptor and the parameter names disagree");         \
    static_assert(::tarnwick::entry_points::referencesOnlyReturningVoid(descriptor),  \
                  #name ": every parameter must be a reference and the method void"); \
    static_assert(::tarnwick::entry_points::placeholderCount(path) + 2 +              \
                          (::tarnwick::entry_points::isPost(request) ? 1 : 0) ==      \
                      ::tarnwick::entry_points::descriptorParameterCount(descriptor), \
                  #name ": the template's placeholders and the parameters disagree");
TARNWICK_ENTRY_POINTS(TARNWICK_CHECK_ROW)

#endif  // __cplusplus

#endif

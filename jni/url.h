// Composition of service URLs from a base address and an endpoint template.
#ifndef TARNWICK_JNI_URL_H
#define TARNWICK_JNI_URL_H

#include <cstddef>
#include <initializer_list>
#include <string>

namespace tarnwick {

// An endpoint's path and query, in which each "{}" stands for one argument.
using EndpointTemplate = const char*;

// The account and cosmetics endpoints, and the model file endpoint.
constexpr EndpointTemplate kAutoLoginTemplate =
    "/auto_login?mc_uuid={}&access_token={}&refresh_token={}&provider={}";
constexpr EndpointTemplate kSignInTemplate = "/login_code?mc_uuid={}&code={}";
constexpr EndpointTemplate kSignOutTemplate =
    "/logout?mc_uuid={}&access_token={}&refresh_token={}&provider={}";
constexpr EndpointTemplate kAvailableCosmeticsTemplate =
    "/member/cosmetics?minecraft_uuid={}&access_token={}&refresh_token={}&provider={}";
constexpr EndpointTemplate kSaveConfigurationTemplate = "/member/update_cosmetic";
constexpr EndpointTemplate kPlayerSkinInfoTemplate = "/cosmetic/user_cosmetic?mc_uuid={}";
constexpr EndpointTemplate kModelTemplate = "/models/{}";
constexpr char kModelSuffix[] = ".enc";

// Returns baseUrl followed by the template, each "{}" replaced left to right
// by the next argument's full text. Everything is copied verbatim: nothing is
// encoded, trimmed or added, and substituted text is never scanned again.
// A placeholder with no argument left stays as "{}"; surplus arguments are
// ignored. Throws std::bad_alloc only.
std::string composeUrl(const char* baseUrl, EndpointTemplate endpoint, const char* const* arguments,
                       std::size_t count);

inline std::string composeUrl(const char* baseUrl, EndpointTemplate endpoint,
                              std::initializer_list<const char*> arguments) {
    return composeUrl(baseUrl, endpoint, arguments.begin(), arguments.size());
}

}  // namespace tarnwick

#endif

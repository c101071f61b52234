// Composition of service URLs from a base address and an endpoint template.
#ifndef TARNWICK_JNI_URL_H
#define TARNWICK_JNI_URL_H

#include <cstddef>
#include <initializer_list>
#include <string>

#include "entry_points.h"

namespace tarnwick {

// An endpoint's path and query, in which each "{}" stands for one argument.
using EndpointTemplate = const char*;

// Each entry point's template, from the table: endpoint::signIn and so on.
namespace endpoint {
#define TARNWICK_TEMPLATE(name, parameters, descriptor, request, path) \
    constexpr EndpointTemplate name = path;
TARNWICK_ENTRY_POINTS(TARNWICK_TEMPLATE)
#undef TARNWICK_TEMPLATE
}  // namespace endpoint

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

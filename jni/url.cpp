#include "url.h"

#include <cstring>

namespace tarnwick {

std::string composeUrl(const char* baseUrl, EndpointTemplate endpoint,
                       std::initializer_list<const char*> arguments) {
    std::size_t length = std::strlen(baseUrl) + std::strlen(endpoint);
    for (const char* argument : arguments) length += std::strlen(argument);

    std::string url;
    url.reserve(length);
    url.append(baseUrl);

    auto next = arguments.begin();
    const char* rest = endpoint;
    while (const char* placeholder = std::strstr(rest, "{}")) {
        if (next == arguments.end()) break;
        url.append(rest, static_cast<std::size_t>(placeholder - rest));
        url.append(*next++);
        rest = placeholder + 2;
    }
    url.append(rest);
    return url;
}

}  // namespace tarnwick

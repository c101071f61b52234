#include "url.h"

#include <cstring>

namespace tarnwick {

std::string composeUrl(const char* baseUrl, EndpointTemplate endpoint, const char* const* arguments,
                       std::size_t count) {
    std::size_t length = std::strlen(baseUrl) + std::strlen(endpoint);
    for (std::size_t i = 0; i < count; ++i) length += std::strlen(arguments[i]);

    std::string url;
    url.reserve(length);
    url.append(baseUrl);

    std::size_t next = 0;
    const char* rest = endpoint;
    while (const char* placeholder = std::strstr(rest, "{}")) {
        if (next == count) break;
        url.append(rest, static_cast<std::size_t>(placeholder - rest));
        url.append(arguments[next++]);
        rest = placeholder + 2;
    }
    url.append(rest);
    return url;
}

}  // namespace tarnwick

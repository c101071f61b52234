#include "modified_utf8.h"

#include <cstring>

namespace tarnwick {
namespace {

constexpr std::uint32_t kReplacement = 0xFFFD;

void appendThreeBytes(std::string& out, std::uint32_t unit) {
    out.push_back(static_cast<char>(0xE0 | (unit >> 12)));
    out.push_back(static_cast<char>(0x80 | ((unit >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (unit & 0x3F)));
}

// `codePoint` is never zero here: decoding stops at the first zero byte.
void appendCodePoint(std::string& out, std::uint32_t codePoint) {
    if (codePoint < 0x80) {
        out.push_back(static_cast<char>(codePoint));
    } else if (codePoint < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (codePoint >> 6)));
        out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    } else if (codePoint < 0x10000) {
        appendThreeBytes(out, codePoint);
    } else {
        // Modified UTF-8 has no four-byte form: write the UTF-16 surrogate
        // pair, each half as a three-byte sequence.
        std::uint32_t offset = codePoint - 0x10000;
        appendThreeBytes(out, 0xD800 | (offset >> 10));
        appendThreeBytes(out, 0xDC00 | (offset & 0x3FF));
    }
}

}  // namespace

void appendAsModifiedUtf8(std::string& out, const std::uint8_t* bytes, std::size_t count) {
    if (count == 0) return;
    if (const void* zero = std::memchr(bytes, 0, count)) {
        count = static_cast<std::size_t>(static_cast<const std::uint8_t*>(zero) - bytes);
    }
    out.reserve(out.size() + count);

    // A byte-at-a-time UTF-8 decoder: `needed` continuation bytes are still
    // expected, each within [lower, upper]. The narrowed first bound after
    // E0, ED, F0 and F4 rejects overlong forms, surrogates and values above
    // U+10FFFF. A byte that breaks a sequence ends it with one U+FFFD and is
    // then read again as the start of what follows.
    std::uint32_t codePoint = 0;
    int needed = 0;
    int seen = 0;
    std::uint8_t lower = 0x80;
    std::uint8_t upper = 0xBF;
    for (std::size_t i = 0; i < count; ++i) {
        std::uint8_t byte = bytes[i];
        if (needed == 0) {
            if (byte < 0x80) {
                out.push_back(static_cast<char>(byte));
            } else if (byte >= 0xC2 && byte <= 0xDF) {
                needed = 1;
                codePoint = byte & 0x1F;
            } else if (byte >= 0xE0 && byte <= 0xEF) {
                if (byte == 0xE0) lower = 0xA0;
                if (byte == 0xED) upper = 0x9F;
                needed = 2;
                codePoint = byte & 0x0F;
            } else if (byte >= 0xF0 && byte <= 0xF4) {
                if (byte == 0xF0) lower = 0x90;
                if (byte == 0xF4) upper = 0x8F;
                needed = 3;
                codePoint = byte & 0x07;
            } else {
                appendCodePoint(out, kReplacement);
            }
            continue;
        }
        if (byte < lower || byte > upper) {
            needed = seen = 0;
            codePoint = 0;
            lower = 0x80;
            upper = 0xBF;
            appendCodePoint(out, kReplacement);
            --i;  // read this byte again as a new start
            continue;
        }
        lower = 0x80;
        upper = 0xBF;
        codePoint = (codePoint << 6) | (byte & 0x3F);
        if (++seen == needed) {
            appendCodePoint(out, codePoint);
            needed = seen = 0;
            codePoint = 0;
        }
    }
    if (needed != 0) appendCodePoint(out, kReplacement);  // truncated at the end
}

}  // namespace tarnwick

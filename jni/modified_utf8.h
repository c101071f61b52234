// Conversion of arbitrary bytes into text the JVM accepts as modified UTF-8.
#ifndef TARNWICK_JNI_MODIFIED_UTF8_H
#define TARNWICK_JNI_MODIFIED_UTF8_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace tarnwick {

// Appends `bytes` decoded as UTF-8 and re-encoded as modified UTF-8. Decoding
// stops at the first zero byte. Each malformed sequence (an invalid lead
// byte, a truncated, overlong or surrogate sequence, a value above U+10FFFF)
// becomes one U+FFFD, as a maximal invalid subpart. Characters outside the
// Basic Multilingual Plane become surrogate pairs of three bytes each.
// Throws std::bad_alloc only.
void appendAsModifiedUtf8(std::string& out, const std::uint8_t* bytes, std::size_t count);

}  // namespace tarnwick

#endif

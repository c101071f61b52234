// Decoding of an encrypted model file: AES-128-ECB under the model key, with
// 0x80 padding. This is the only place that knows the file format.
#ifndef TARNWICK_CRYPTO_MODEL_PAYLOAD_H
#define TARNWICK_CRYPTO_MODEL_PAYLOAD_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tarnwick {

// The diagnostic written (with a line break) to standard output when the
// last block carries no 0x80 padding marker.
extern const char kPaddingErrorLine[];

// Decodes `size` bytes of an encrypted model file into its plaintext.
// `size` must be below 2^31. A size that is not a multiple of 16 (or zero)
// gives an empty plaintext. Inner blocks contribute their bytes up to their
// first zero byte; the last block contributes the bytes before its padding
// marker, or nothing (and the diagnostic line is printed) when the marker is
// missing. The only failure is std::bad_alloc when the plaintext cannot be
// allocated.
std::vector<std::uint8_t> decodeModelPayload(const std::uint8_t* data, std::size_t size);

}  // namespace tarnwick

#endif

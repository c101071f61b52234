// Decoding of an encrypted model file: AES-128-ECB under a key, with 0x80
// padding. This is the only place in the library that knows the file format;
// the sealing side, which the library does not carry, is tools/seal.
#ifndef TARNWICK_CRYPTO_MODEL_PAYLOAD_H
#define TARNWICK_CRYPTO_MODEL_PAYLOAD_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tarnwick {

// The diagnostic written (with a line break) to standard output when the
// last block carries no 0x80 padding marker.
extern const char kPaddingErrorLine[];

enum class PayloadStatus {
    kDecoded,         // whole blocks, and the last one ends in the marker
    kPaddingMissing,  // whole blocks, but the last one has no marker: it adds nothing
    kNotWholeBlocks,  // empty, or not a multiple of 16 bytes: nothing is decoded
};

constexpr std::size_t kNoZeroByte = static_cast<std::size_t>(-1);

struct DecodedPayload {
    std::vector<std::uint8_t> plaintext;
    PayloadStatus status = PayloadStatus::kNotWholeBlocks;
    // Where the decrypted text first held a zero byte, as an offset into
    // `plaintext`: the end of the first inner block that a zero byte cut
    // short, or a zero byte kept from the last block, whichever comes first.
    // kNoZeroByte when the text held none. A well-formed model holds none.
    std::size_t firstZero = kNoZeroByte;
};

// Decodes `size` bytes of an encrypted model file under `key`. Prints
// nothing. `size` must be below 2^31. Inner blocks contribute their bytes up
// to their first zero byte; the last block contributes the bytes before its
// padding marker, or nothing when the marker is missing. The only failure is
// std::bad_alloc when the plaintext cannot be allocated.
//
// The block rules alone tell a model apart from garbage, so a wrong key or
// damage to the last block shows as kPaddingMissing (unless the garbled last
// block happens to end in a marker), while damage to an inner block garbles
// that block's at most 16 bytes of text and goes unnoticed.
DecodedPayload decodePayload(const std::uint8_t key[16], const std::uint8_t* data,
                             std::size_t size);

// decodePayload under the model key the library was built with, assembled
// afresh on every call. When the marker is missing, the diagnostic line is
// printed and flushed.
std::vector<std::uint8_t> decodeModelPayload(const std::uint8_t* data, std::size_t size);

}  // namespace tarnwick

#endif

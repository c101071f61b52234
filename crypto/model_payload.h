// Decoding of an encrypted model file: AES-128-ECB under a key, with 0x80
// padding. This is the only place in the library that knows the file format;
// the sealing side, which the library does not carry, is tarnwick-model.jar
// (tools/model), with OpenSSL's copy for the tests in tools/seal.
#ifndef TARNWICK_CRYPTO_MODEL_PAYLOAD_H
#define TARNWICK_CRYPTO_MODEL_PAYLOAD_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "aes.h"

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

// Where the text of a decode into a caller's buffer ended up: `length`
// bytes at the start of the buffer.
struct PayloadText {
    std::size_t length = 0;
    PayloadStatus status = PayloadStatus::kNotWholeBlocks;
    // As DecodedPayload::firstZero, an offset into the text.
    std::size_t firstZero = kNoZeroByte;
};

// The room a decode of `size` payload bytes needs in the caller's buffer:
// size - 1 for whole blocks (inner blocks give at most 16 bytes each, the
// last at most 15), nothing otherwise. The decoder may write scratch bytes
// anywhere in that room; only the first `length` bytes are text.
constexpr std::size_t payloadTextCapacity(std::size_t size) {
    return size == 0 || size % 16 != 0 ? 0 : size - 1;
}

// The same decode as decodePayload, into `out`, which has room for
// payloadTextCapacity(size) bytes. Allocates nothing, prints nothing and
// cannot fail. `out` must not overlap `data`.
PayloadText decodePayloadInto(const std::uint8_t key[16], const std::uint8_t* data,
                              std::size_t size, std::uint8_t* out);

// decodePayloadInto a slice of blocks at a time, for a caller whose input
// and output may move between slices: arrays of a garbage-collected heap,
// pinned for one slice and then let go. The key is prepared once, when the
// decoder is made; each slice is handed the two buffers' current addresses.
// Holds no pointer between slices and allocates nothing.
class PayloadSliceDecoder {
public:
    // Picks the CPU's AES instructions when it has them, as decodePayload does.
    PayloadSliceDecoder(const std::uint8_t key[16], std::size_t size);
    // With the table loop, or with the AES instructions (only where
    // detail::hardwareAesAvailable()): for the tests and benchmarks.
    PayloadSliceDecoder(const std::uint8_t key[16], std::size_t size, bool hardware);
    PayloadSliceDecoder(const PayloadSliceDecoder&) = delete;
    PayloadSliceDecoder& operator=(const PayloadSliceDecoder&) = delete;

    bool finished() const { return next_ >= blocks_; }

    // Decodes the next `maxBlocks` blocks (fewer when fewer are left; 0 means
    // all that are left). `data` is the whole payload and `out` the whole buffer of
    // payloadTextCapacity(size) bytes, both from their first byte.
    void decodeSlice(const std::uint8_t* data, std::uint8_t* out, std::uint32_t maxBlocks);

    // The text so far; final once finished().
    const PayloadText& text() const { return text_; }

private:
    // The prepared key: AES-NI's or ARMv8's eleven round keys in the order
    // its loop uses them, or the table cipher's schedule.
    alignas(16) std::uint8_t roundKeys_[11][16];
    AesDecryptSchedule schedule_;
    bool hardware_;
    std::uint32_t blocks_;  // whole blocks in the payload; 0 when not whole blocks
    std::uint32_t next_ = 0;
    PayloadText text_;
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

// Writes the model key into `key`, assembled afresh from the constants the
// library was built with.
void assembleModelKey(std::uint8_t key[16]);

// Writes kPaddingErrorLine and a line break to standard output, and flushes.
void printPaddingError();

}  // namespace tarnwick

#endif

#include "model_payload.h"

#include <cstdio>
#include <cstring>
#include <utility>

#include "aes.h"
#include "model_key.h"
#include "model_payload_internal.h"

namespace tarnwick {

const char kPaddingErrorLine[] = "Padding error: 0x80 not found.";

namespace detail {

#ifdef TARNWICK_COUNT_DECODER_PATHS
DecoderPathCounts decoderPathCounts;
#endif

namespace {

constexpr std::uint8_t kPaddingMarker = 0x80;

// An inner block carries text up to its first zero byte; the rest of the
// block is filler.
void appendInnerBlock(DecodedPayload& decoded, const std::uint8_t block[16]) {
    std::vector<std::uint8_t>& plaintext = decoded.plaintext;
    const void* zero = std::memchr(block, 0, kBlockSize);
    if (zero == nullptr) {
        plaintext.insert(plaintext.end(), block, block + kBlockSize);
        return;
    }
    const std::size_t length = static_cast<const std::uint8_t*>(zero) - block;
    plaintext.insert(plaintext.end(), block, block + length);
    if (decoded.firstZero == kNoZeroByte) decoded.firstZero = plaintext.size();
}

}  // namespace

// Each key word holds four consecutive key bytes, least significant byte
// first.
void assembleModelKey(std::uint8_t key[16]) {
    const std::uint32_t words[4] = {kModelKeyWord0, kModelKeyWord1, kModelKeyWord2, kModelKeyWord3};
    for (std::size_t w = 0; w < 4; ++w) {
        for (std::size_t b = 0; b < 4; ++b) {
            key[4 * w + b] = static_cast<std::uint8_t>(words[w] >> (8 * b));
        }
    }
}

// The last block ends in a 0x80 marker followed only by zero bytes. Everything
// before the marker is text, zero bytes included. Byte 0 is never searched
// for the marker: when bytes 1..15 are all zero, byte 0 must be the marker.
void finishWithLastBlock(DecodedPayload& decoded, const std::uint8_t block[16]) {
    std::size_t marker = kBlockSize - 1;
    while (marker > 0 && block[marker] == 0) --marker;
    if (block[marker] != kPaddingMarker) {
        decoded.status = PayloadStatus::kPaddingMissing;
        return;
    }
    const void* zero = std::memchr(block, 0, marker);
    if (zero != nullptr && decoded.firstZero == kNoZeroByte) {
        decoded.firstZero =
            decoded.plaintext.size() + (static_cast<const std::uint8_t*>(zero) - block);
    }
    decoded.plaintext.insert(decoded.plaintext.end(), block, block + marker);
    decoded.status = PayloadStatus::kDecoded;
}

DecodedPayload decodePayloadPortable(const std::uint8_t key[16], const std::uint8_t* data,
                                     std::size_t size) {
    TARNWICK_COUNT_DECODER_PATH(portable);
    DecodedPayload decoded;
    if (size == 0 || size % kBlockSize != 0) return decoded;

    std::uint8_t block[kBlockSize];
    // Holds the key until the schedule is built, then each decrypted block:
    // the first block decrypted overwrites the key.
    std::uint8_t buffer[kBlockSize];
    std::memcpy(buffer, key, kBlockSize);
    AesDecryptSchedule schedule;
    aesPrepareDecryptSchedule(buffer, schedule);

    const std::uint32_t blocks = static_cast<std::uint32_t>(size / kBlockSize);
    // Inner blocks give at most 16 bytes each and the last block at most 15.
    decoded.plaintext.reserve(size - 1);

    for (std::uint32_t i = 0; i + 1 < blocks; ++i) {
        std::memcpy(block, data + i * std::uint32_t{kBlockSize}, kBlockSize);
        aesDecryptBlock(block, schedule, buffer);
        appendInnerBlock(decoded, buffer);
    }
    std::memcpy(block, data + (blocks - 1) * std::uint32_t{kBlockSize}, kBlockSize);
    aesDecryptBlock(block, schedule, buffer);
    finishWithLastBlock(decoded, buffer);
    return decoded;
}

}  // namespace detail

DecodedPayload decodePayload(const std::uint8_t key[16], const std::uint8_t* data,
                             std::size_t size) {
    if (detail::hardwareAesAvailable()) return detail::decodePayloadHardware(key, data, size);
    return detail::decodePayloadPortable(key, data, size);
}

std::vector<std::uint8_t> decodeModelPayload(const std::uint8_t* data, std::size_t size) {
    // The key is assembled here on every call, but that hides nothing: its
    // four words sit in the library's read-only data as 16 consecutive bytes,
    // in key-byte order, and anyone with the library can read them. The
    // encryption keeps the models from whoever has only the files, not from
    // whoever has the library (see "The model key" in the README).
    std::uint8_t key[detail::kBlockSize];
    detail::assembleModelKey(key);
    DecodedPayload decoded = decodePayload(key, data, size);
    if (decoded.status == PayloadStatus::kPaddingMissing) {
        std::fputs(kPaddingErrorLine, stdout);
        std::fputs("\n", stdout);
        std::fflush(stdout);
    }
    return std::move(decoded.plaintext);
}

}  // namespace tarnwick

#include "model_payload.h"

#include <cstdio>
#include <cstring>

#include "aes.h"
#include "model_key.h"
#include "model_payload_internal.h"

namespace tarnwick {

const char kPaddingErrorLine[] = "Padding error: 0x80 not found.";

namespace detail {
namespace {

constexpr std::uint8_t kPaddingMarker = 0x80;

// An inner block carries text up to its first zero byte; the rest of the
// block is filler.
void appendInnerBlock(std::vector<std::uint8_t>& plaintext, const std::uint8_t block[16]) {
    const void* zero = std::memchr(block, 0, kBlockSize);
    const std::size_t length =
        zero == nullptr ? kBlockSize : static_cast<const std::uint8_t*>(zero) - block;
    plaintext.insert(plaintext.end(), block, block + length);
}

}  // namespace

// Each key word holds four consecutive key bytes, least significant byte
// first. Assembled afresh on every call so the key only ever lives in the
// decoder's stack frame.
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
void appendLastBlock(std::vector<std::uint8_t>& plaintext, const std::uint8_t block[16]) {
    std::size_t marker = kBlockSize - 1;
    while (marker > 0 && block[marker] == 0) --marker;
    if (block[marker] == kPaddingMarker) {
        plaintext.insert(plaintext.end(), block, block + marker);
        return;
    }
    std::fputs(kPaddingErrorLine, stdout);
    std::fputs("\n", stdout);
    std::fflush(stdout);
}

std::vector<std::uint8_t> decodeModelPayloadPortable(const std::uint8_t* data, std::size_t size) {
    std::vector<std::uint8_t> plaintext;
    if (size == 0 || size % kBlockSize != 0) return plaintext;

    std::uint8_t block[kBlockSize];
    // Holds the key until the schedule is built, then each decrypted block:
    // the first block decrypted overwrites the key.
    std::uint8_t buffer[kBlockSize];
    assembleModelKey(buffer);
    AesDecryptSchedule schedule;
    aesPrepareDecryptSchedule(buffer, schedule);

    const std::uint32_t blocks = static_cast<std::uint32_t>(size / kBlockSize);
    // Inner blocks give at most 16 bytes each and the last block at most 15.
    plaintext.reserve(size - 1);

    for (std::uint32_t i = 0; i + 1 < blocks; ++i) {
        std::memcpy(block, data + i * std::uint32_t{kBlockSize}, kBlockSize);
        aesDecryptBlock(block, schedule, buffer);
        appendInnerBlock(plaintext, buffer);
    }
    std::memcpy(block, data + (blocks - 1) * std::uint32_t{kBlockSize}, kBlockSize);
    aesDecryptBlock(block, schedule, buffer);
    appendLastBlock(plaintext, buffer);
    return plaintext;
}

}  // namespace detail

std::vector<std::uint8_t> decodeModelPayload(const std::uint8_t* data, std::size_t size) {
    if (detail::hardwareAesAvailable()) return detail::decodeModelPayloadHardware(data, size);
    return detail::decodeModelPayloadPortable(data, size);
}

}  // namespace tarnwick

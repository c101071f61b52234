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

// Table-cipher counterpart of decodeInnerBlocksHardware: an inner block
// carries text up to its first zero byte; the rest of the block is filler.
std::uint32_t decodeInnerBlocksPortable(const AesDecryptSchedule& schedule,
                                        const std::uint8_t* in, std::uint32_t count,
                                        std::uint8_t* out, std::uint32_t* firstCut) {
    std::uint8_t block[kBlockSize];
    std::uint32_t length = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        // The cipher wants `in` and `out` apart, and the caller's input may be
        // anywhere: the block is decrypted into this buffer, then its text
        // copied out.
        aesDecryptBlock(in + i * std::uint32_t{kBlockSize}, schedule, block);
        const void* zero = std::memchr(block, 0, kBlockSize);
        const std::uint32_t text =
            zero == nullptr ? std::uint32_t{kBlockSize}
                            : static_cast<std::uint32_t>(static_cast<const std::uint8_t*>(zero) -
                                                         block);
        std::memcpy(out + length, block, text);
        length += text;
        if (text < kBlockSize && *firstCut == kNoCutYet) *firstCut = length;
    }
    return length;
}

// A decode into a vector, through the slice decoder in one slice.
DecodedPayload decodeToVector(const std::uint8_t key[16], const std::uint8_t* data,
                              std::size_t size, bool hardware) {
    DecodedPayload decoded;
    decoded.plaintext.resize(payloadTextCapacity(size));
    PayloadSliceDecoder decoder(key, size, hardware);
    while (!decoder.finished()) {
        decoder.decodeSlice(data, decoded.plaintext.data(), 0xFFFFFFFFu);
    }
    const PayloadText& text = decoder.text();
    decoded.plaintext.resize(text.length);
    decoded.status = text.status;
    decoded.firstZero = text.firstZero;
    return decoded;
}

}  // namespace

// The last block ends in a 0x80 marker followed only by zero bytes. Everything
// before the marker is text, zero bytes included. Byte 0 is never searched
// for the marker: when bytes 1..15 are all zero, byte 0 must be the marker.
void finishWithLastBlock(PayloadText& text, std::uint8_t* out, const std::uint8_t block[16]) {
    std::size_t marker = kBlockSize - 1;
    while (marker > 0 && block[marker] == 0) --marker;
    if (block[marker] != kPaddingMarker) {
        text.status = PayloadStatus::kPaddingMissing;
        return;
    }
    const void* zero = std::memchr(block, 0, marker);
    if (zero != nullptr && text.firstZero == kNoZeroByte) {
        text.firstZero = text.length + (static_cast<const std::uint8_t*>(zero) - block);
    }
    std::memcpy(out + text.length, block, marker);
    text.length += marker;
    text.status = PayloadStatus::kDecoded;
}

DecodedPayload decodePayloadPortable(const std::uint8_t key[16], const std::uint8_t* data,
                                     std::size_t size) {
    return decodeToVector(key, data, size, false);
}

DecodedPayload decodePayloadHardware(const std::uint8_t key[16], const std::uint8_t* data,
                                     std::size_t size) {
    return decodeToVector(key, data, size, true);
}

}  // namespace detail

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

PayloadSliceDecoder::PayloadSliceDecoder(const std::uint8_t key[16], std::size_t size)
    : PayloadSliceDecoder(key, size, detail::hardwareAesAvailable()) {}

PayloadSliceDecoder::PayloadSliceDecoder(const std::uint8_t key[16], std::size_t size,
                                         bool hardware)
    : hardware_(hardware && detail::hardwareAesAvailable()),
      blocks_(payloadTextCapacity(size) == 0
                  ? 0
                  : static_cast<std::uint32_t>(size / detail::kBlockSize)) {
    if (hardware_) {
        TARNWICK_COUNT_DECODER_PATH(hardware);
    } else {
        TARNWICK_COUNT_DECODER_PATH(portable);
    }
    if (blocks_ == 0) return;  // nothing to decode: no key is prepared
#if TARNWICK_HAVE_HARDWARE_DECODER
    if (hardware_) {
        detail::prepareHardwareRoundKeys(key, roundKeys_);
        return;
    }
#endif
    aesPrepareDecryptSchedule(key, schedule_);
}

void PayloadSliceDecoder::decodeSlice(const std::uint8_t* data, std::uint8_t* out,
                                      std::uint32_t maxBlocks) {
    if (finished()) return;
    const std::uint32_t innerBlocks = blocks_ - 1;
    if (next_ < innerBlocks) {
        const std::uint32_t left = innerBlocks - next_;
        const std::uint32_t count = maxBlocks == 0 || maxBlocks > left ? left : maxBlocks;
        const std::uint8_t* in = data + next_ * std::uint32_t{detail::kBlockSize};
        std::uint8_t* at = out + text_.length;
        std::uint32_t cut = detail::kNoCutYet;
        std::uint32_t length = 0;
#if TARNWICK_HAVE_HARDWARE_DECODER
        if (hardware_) {
            length = detail::decodeInnerBlocksHardware(roundKeys_, in, count, at, &cut);
        } else
#endif
        {
            length = detail::decodeInnerBlocksPortable(schedule_, in, count, at, &cut);
        }
        if (cut != detail::kNoCutYet && text_.firstZero == kNoZeroByte) {
            text_.firstZero = text_.length + cut;
        }
        text_.length += length;
        next_ += count;
        // The last block gets a slice of its own only when this one was full.
        if (count == maxBlocks) return;
    }
    std::uint8_t last[detail::kBlockSize];
    const std::uint8_t* in = data + innerBlocks * std::uint32_t{detail::kBlockSize};
#if TARNWICK_HAVE_HARDWARE_DECODER
    if (hardware_) {
        detail::decryptBlockHardware(roundKeys_, in, last);
    } else
#endif
    {
        aesDecryptBlock(in, schedule_, last);
    }
    detail::finishWithLastBlock(text_, out, last);
    next_ = blocks_;
}

PayloadText decodePayloadInto(const std::uint8_t key[16], const std::uint8_t* data,
                              std::size_t size, std::uint8_t* out) {
    PayloadSliceDecoder decoder(key, size);
    while (!decoder.finished()) decoder.decodeSlice(data, out, 0xFFFFFFFFu);
    return decoder.text();
}

DecodedPayload decodePayload(const std::uint8_t key[16], const std::uint8_t* data,
                             std::size_t size) {
    return detail::decodePayloadHardware(key, data, size);
}

void printPaddingError() {
    std::fputs(kPaddingErrorLine, stdout);
    std::fputs("\n", stdout);
    std::fflush(stdout);
}

std::vector<std::uint8_t> decodeModelPayload(const std::uint8_t* data, std::size_t size) {
    // The key is assembled here on every call, but that hides nothing: its
    // four words sit in the library's read-only data as 16 consecutive bytes,
    // in key-byte order, and anyone with the library can read them. The
    // encryption keeps the models from whoever has only the files, not from
    // whoever has the library (see "The model key" in the README).
    std::uint8_t key[detail::kBlockSize];
    assembleModelKey(key);
    DecodedPayload decoded = decodePayload(key, data, size);
    if (decoded.status == PayloadStatus::kPaddingMissing) printPaddingError();
    return std::move(decoded.plaintext);
}

}  // namespace tarnwick

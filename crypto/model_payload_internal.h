// Internals of the model payload decoder, shared by its two block loops and
// open to the tests, the tool and the benchmarks. Not part of the library's
// interface.
#ifndef TARNWICK_CRYPTO_MODEL_PAYLOAD_INTERNAL_H
#define TARNWICK_CRYPTO_MODEL_PAYLOAD_INTERNAL_H

#include <cstddef>
#include <cstdint>

#include "model_payload.h"

#ifdef TARNWICK_COUNT_DECODER_PATHS
#include <atomic>
#endif

// Which file holds the hardware block loop: model_payload_aesni.cpp on x86,
// model_payload_armv8.cpp on little-endian 64-bit ARM Linux (it asks the
// kernel for the feature). Elsewhere model_payload_aesni.cpp supplies a
// stand-in that runs the table loop.
#if defined(__x86_64__) || defined(_M_X64) || defined(__i386__) || defined(_M_IX86)
#define TARNWICK_HAVE_AESNI_DECODER 1
#else
#define TARNWICK_HAVE_AESNI_DECODER 0
#endif
#if defined(__aarch64__) && defined(__linux__) && defined(__ARM_NEON) && \
    defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
#define TARNWICK_HAVE_ARMV8_DECODER 1
#else
#define TARNWICK_HAVE_ARMV8_DECODER 0
#endif

namespace tarnwick {
namespace detail {

constexpr std::size_t kBlockSize = 16;

// Writes the model key into `key` from the kModelKeyWord constants.
void assembleModelKey(std::uint8_t key[16]);

// Finishes a decode with the decrypted last block: appends its text and sets
// the status, or sets kPaddingMissing when its marker is missing. Appends at
// most 15 bytes.
void finishWithLastBlock(DecodedPayload& decoded, const std::uint8_t block[16]);

// decodePayload on the portable table cipher.
DecodedPayload decodePayloadPortable(const std::uint8_t key[16], const std::uint8_t* data,
                                     std::size_t size);

// Whether this CPU has the AES instructions the hardware loop needs (AES-NI
// on x86, the ARMv8 AES instructions on aarch64). Always false where no
// hardware loop is compiled in.
bool hardwareAesAvailable();

// decodePayload on the CPU's AES instructions; the same result as
// decodePayloadPortable for every input. Call only when
// hardwareAesAvailable(); where the hardware loop is not compiled in, this is
// the portable one.
DecodedPayload decodePayloadHardware(const std::uint8_t key[16], const std::uint8_t* data,
                                     std::size_t size);

#ifdef TARNWICK_COUNT_DECODER_PATHS
// Only in the tests' build of the library: how many payloads each loop has
// been handed, so a test can see which loop the dispatcher chose.
struct DecoderPathCounts {
    std::atomic<unsigned long> portable{0};
    std::atomic<unsigned long> hardware{0};
};
extern DecoderPathCounts decoderPathCounts;
#define TARNWICK_COUNT_DECODER_PATH(loop) \
    (::tarnwick::detail::decoderPathCounts.loop.fetch_add(1, std::memory_order_relaxed))
#else
#define TARNWICK_COUNT_DECODER_PATH(loop) static_cast<void>(0)
#endif

}  // namespace detail
}  // namespace tarnwick

#endif

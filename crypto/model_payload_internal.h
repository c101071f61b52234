// Internals of the model payload decoder, shared by its block loops and open
// to the tests, the tool and the benchmarks. Not part of the library's
// interface.
#ifndef TARNWICK_CRYPTO_MODEL_PAYLOAD_INTERNAL_H
#define TARNWICK_CRYPTO_MODEL_PAYLOAD_INTERNAL_H

#include <cstddef>
#include <cstdint>

#include "model_payload.h"

#ifdef TARNWICK_COUNT_DECODER_PATHS
#include <atomic>
#endif

// Which file holds the hardware block loop: model_payload_aesni.cpp on
// x86-64, model_payload_armv8.cpp on little-endian 64-bit ARM Linux (it asks
// the kernel for the feature). Elsewhere only the table loop is compiled.
#if defined(__x86_64__)
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
#define TARNWICK_HAVE_HARDWARE_DECODER (TARNWICK_HAVE_AESNI_DECODER || TARNWICK_HAVE_ARMV8_DECODER)

namespace tarnwick {
namespace detail {

constexpr std::size_t kBlockSize = 16;

// No inner block has been cut short by a zero byte yet.
constexpr std::uint32_t kNoCutYet = 0xFFFFFFFFu;

using tarnwick::assembleModelKey;

// Finishes a decode with the decrypted last block: appends its text at
// out + text.length and sets the status, or sets kPaddingMissing when its
// marker is missing. Appends at most 15 bytes.
void finishWithLastBlock(PayloadText& text, std::uint8_t* out, const std::uint8_t block[16]);

// decodePayload on the portable table cipher.
DecodedPayload decodePayloadPortable(const std::uint8_t key[16], const std::uint8_t* data,
                                     std::size_t size);

// Whether this CPU has the AES instructions the hardware loop needs (AES-NI
// on x86, the ARMv8 AES instructions on aarch64). Always false where no
// hardware loop is compiled in.
bool hardwareAesAvailable();

// decodePayload on the CPU's AES instructions; the same result as
// decodePayloadPortable for every input. Where the CPU lacks them, or no
// hardware loop is compiled in, this is the portable one.
DecodedPayload decodePayloadHardware(const std::uint8_t key[16], const std::uint8_t* data,
                                     std::size_t size);

#if TARNWICK_HAVE_AESNI_DECODER
// Whether the words CPUID leaf 1 returns in ECX and EDX announce AES-NI (ECX
// bit 25) and SSE2 (EDX bit 26), the two the AES-NI loop uses.
bool cpuidAnnouncesAesNi(std::uint32_t ecx, std::uint32_t edx);
#endif

#if TARNWICK_HAVE_HARDWARE_DECODER
// The hardware loop, in PayloadSliceDecoder's pieces. Call only when
// hardwareAesAvailable().
//
// Writes the eleven round keys in the order the loop uses them.
void prepareHardwareRoundKeys(const std::uint8_t key[16], std::uint8_t roundKeys[11][16]);

// Decodes `count` inner blocks from `in` and appends each block's bytes up to
// its first zero byte at `out`. Stores whole blocks, so `out` needs room for
// 16 * count bytes. Returns the length appended; sets *firstCut to the
// offset from `out` just past the first block cut short, if one was, and
// leaves it alone otherwise.
std::uint32_t decodeInnerBlocksHardware(const std::uint8_t roundKeys[11][16],
                                        const std::uint8_t* in, std::uint32_t count,
                                        std::uint8_t* out, std::uint32_t* firstCut);

// Decrypts one block.
void decryptBlockHardware(const std::uint8_t roundKeys[11][16], const std::uint8_t in[16],
                          std::uint8_t out[16]);
#endif

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

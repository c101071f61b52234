// The model payload decoder on x86's AES instructions (AES-NI). The table
// loop in model_payload.cpp is the reference; this one must give the same
// result for every input.
//
// Only the functions marked TARNWICK_TARGET_AES use the instructions, so the
// file needs no special compiler flags and the library still loads on CPUs
// without them; PayloadSliceDecoder (and so decodePayload) picks a loop at
// run time from hardwareAesAvailable().
#include <cstring>

#include "aes.h"
#include "model_payload_internal.h"

#if TARNWICK_HAVE_AESNI_DECODER

#include <cpuid.h>
#include <emmintrin.h>
#include <wmmintrin.h>

#define TARNWICK_TARGET_AES __attribute__((target("aes,sse2")))

namespace tarnwick {
namespace detail {
namespace {

bool cpuHasAesNi() {
    unsigned eax = 0;
    unsigned ebx = 0;
    unsigned ecx = 0;
    unsigned edx = 0;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return false;
    return cpuidAnnouncesAesNi(ecx, edx);
}

// Round keys in the order decryption uses them: round key 10, then round keys
// 9..1 through InvMixColumns (AESIMC) for the equivalent inverse cipher that
// AESDEC implements, then round key 0.
struct DecryptionKeys {
    __m128i round[11];
};

TARNWICK_TARGET_AES inline void loadKeys(const std::uint8_t roundKeys[11][16], DecryptionKeys& keys) {
    for (unsigned r = 0; r < 11; ++r) {
        keys.round[r] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(roundKeys[r]));
    }
}

TARNWICK_TARGET_AES inline __m128i decrypt1(__m128i block, const DecryptionKeys& keys) {
    block = _mm_xor_si128(block, keys.round[0]);
    for (unsigned r = 1; r < 10; ++r) block = _mm_aesdec_si128(block, keys.round[r]);
    return _mm_aesdeclast_si128(block, keys.round[10]);
}

constexpr unsigned kLanes = 8;

// Decrypts eight blocks side by side: one AESDEC has a latency of several
// cycles but a new one can start every cycle, so eight independent chains
// keep the unit busy.
TARNWICK_TARGET_AES inline void decrypt8(__m128i b[kLanes], const DecryptionKeys& keys) {
    const __m128i k0 = keys.round[0];
    b[0] = _mm_xor_si128(b[0], k0);
    b[1] = _mm_xor_si128(b[1], k0);
    b[2] = _mm_xor_si128(b[2], k0);
    b[3] = _mm_xor_si128(b[3], k0);
    b[4] = _mm_xor_si128(b[4], k0);
    b[5] = _mm_xor_si128(b[5], k0);
    b[6] = _mm_xor_si128(b[6], k0);
    b[7] = _mm_xor_si128(b[7], k0);
    for (unsigned r = 1; r < 10; ++r) {
        const __m128i k = keys.round[r];
        b[0] = _mm_aesdec_si128(b[0], k);
        b[1] = _mm_aesdec_si128(b[1], k);
        b[2] = _mm_aesdec_si128(b[2], k);
        b[3] = _mm_aesdec_si128(b[3], k);
        b[4] = _mm_aesdec_si128(b[4], k);
        b[5] = _mm_aesdec_si128(b[5], k);
        b[6] = _mm_aesdec_si128(b[6], k);
        b[7] = _mm_aesdec_si128(b[7], k);
    }
    const __m128i k10 = keys.round[10];
    b[0] = _mm_aesdeclast_si128(b[0], k10);
    b[1] = _mm_aesdeclast_si128(b[1], k10);
    b[2] = _mm_aesdeclast_si128(b[2], k10);
    b[3] = _mm_aesdeclast_si128(b[3], k10);
    b[4] = _mm_aesdeclast_si128(b[4], k10);
    b[5] = _mm_aesdeclast_si128(b[5], k10);
    b[6] = _mm_aesdeclast_si128(b[6], k10);
    b[7] = _mm_aesdeclast_si128(b[7], k10);
}

TARNWICK_TARGET_AES inline __m128i loadBlock(const std::uint8_t* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// Length of an inner block's text: the index of its first zero byte, or 16.
TARNWICK_TARGET_AES inline unsigned textLength(__m128i block) {
    const unsigned zeros =
        static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(block, _mm_setzero_si128())));
    return static_cast<unsigned>(__builtin_ctz(zeros | 0x10000u));
}

// Whether any of the eight blocks has a zero byte.
TARNWICK_TARGET_AES inline bool anyZeroByte(const __m128i b[kLanes]) {
    const __m128i zero = _mm_setzero_si128();
    __m128i zeros = _mm_cmpeq_epi8(b[0], zero);
    for (unsigned lane = 1; lane < kLanes; ++lane) {
        zeros = _mm_or_si128(zeros, _mm_cmpeq_epi8(b[lane], zero));
    }
    return _mm_movemask_epi8(zeros) != 0;
}

}  // namespace

bool cpuidAnnouncesAesNi(std::uint32_t ecx, std::uint32_t edx) {
    const std::uint32_t kEcxAes = 1u << 25;
    const std::uint32_t kEdxSse2 = 1u << 26;
    return (ecx & kEcxAes) != 0 && (edx & kEdxSse2) != 0;
}

bool hardwareAesAvailable() {
    // A fixed fact about the processor: asked once (CPUID traps to the
    // hypervisor on a virtual machine), never written after the thread-safe
    // initialisation.
    static const bool available = cpuHasAesNi();
    return available;
}

TARNWICK_TARGET_AES void prepareHardwareRoundKeys(const std::uint8_t key[16],
                                                  std::uint8_t roundKeys[11][16]) {
    AesDecryptSchedule expanded;
    aesExpandKey(key, expanded);
    __m128i encryption[11];
    for (unsigned r = 0; r < 11; ++r) {
        // The schedule's words are big-endian; the instructions take the
        // round key as the 16 bytes in block order.
        std::uint8_t bytes[16];
        for (unsigned i = 0; i < 16; ++i) {
            bytes[i] = static_cast<std::uint8_t>(expanded.rk[4 * r + i / 4] >> (24 - 8 * (i % 4)));
        }
        encryption[r] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes));
    }
    auto store = [&](unsigned r, __m128i k) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(roundKeys[r]), k);
    };
    store(0, encryption[10]);
    for (unsigned r = 1; r < 10; ++r) store(r, _mm_aesimc_si128(encryption[10 - r]));
    store(10, encryption[0]);
}

TARNWICK_TARGET_AES void decryptBlockHardware(const std::uint8_t roundKeys[11][16],
                                              const std::uint8_t in[16], std::uint8_t out[16]) {
    DecryptionKeys keys;
    loadKeys(roundKeys, keys);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), decrypt1(loadBlock(in), keys));
}

// The lane logic below (whole stores, the fast path when no lane holds a
// zero byte, the cut per lane) has a twin in model_payload_armv8.cpp. It
// stays twice: a shared template would be compiled without the AES target
// of the function that instantiates it, and GCC refuses to inline the
// intrinsics into it, so the lanes would cost a call each.
TARNWICK_TARGET_AES std::uint32_t decodeInnerBlocksHardware(const std::uint8_t roundKeys[11][16],
                                                            const std::uint8_t* in,
                                                            std::uint32_t count, std::uint8_t* out,
                                                            std::uint32_t* firstCut) {
    DecryptionKeys keys;
    loadKeys(roundKeys, keys);
    // Each block is stored whole at the current end, which then advances past
    // its text only: no store reaches past 16 * count bytes.
    std::uint32_t length = 0;
    std::uint32_t i = 0;
    for (; i + kLanes <= count; i += kLanes) {
        const std::uint8_t* at = in + i * std::uint32_t{kBlockSize};
        __m128i b[kLanes];
        for (unsigned lane = 0; lane < kLanes; ++lane) b[lane] = loadBlock(at + 16 * lane);
        decrypt8(b, keys);
        if (!anyZeroByte(b)) {
            // The common case for text: eight whole blocks.
            for (unsigned lane = 0; lane < kLanes; ++lane) {
                _mm_storeu_si128(reinterpret_cast<__m128i*>(out + length + 16 * lane), b[lane]);
            }
            length += kLanes * std::uint32_t{kBlockSize};
            continue;
        }
        for (unsigned lane = 0; lane < kLanes; ++lane) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + length), b[lane]);
            const unsigned text = textLength(b[lane]);
            length += text;
            if (text < kBlockSize && *firstCut == kNoCutYet) *firstCut = length;
        }
    }
    for (; i < count; ++i) {
        const __m128i b = decrypt1(loadBlock(in + i * std::uint32_t{kBlockSize}), keys);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + length), b);
        const unsigned text = textLength(b);
        length += text;
        if (text < kBlockSize && *firstCut == kNoCutYet) *firstCut = length;
    }
    return length;
}

}  // namespace detail
}  // namespace tarnwick

#elif !TARNWICK_HAVE_ARMV8_DECODER  // no hardware loop: only the table loop

namespace tarnwick {
namespace detail {

bool hardwareAesAvailable() { return false; }

}  // namespace detail
}  // namespace tarnwick

#endif

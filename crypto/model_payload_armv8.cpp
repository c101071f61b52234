// The model payload decoder on the ARMv8 Cryptography Extensions (AESD and
// AESIMC), for 64-bit ARM Linux. The table loop in model_payload.cpp is the
// reference; this one must give the same result for every input.
//
// Only the functions marked TARNWICK_TARGET_CRYPTO use the instructions, so
// the rest of the library stays plain ARMv8-A and loads on cores without
// them (some Raspberry Pi models leave the extension out); hardwareAesAvailable()
// asks the kernel (HWCAP_AES), and PayloadSliceDecoder picks a loop from it at
// run time.
#include "model_payload_internal.h"

#if TARNWICK_HAVE_ARMV8_DECODER

#include <arm_neon.h>
#include <sys/auxv.h>

#include "aes.h"

#ifndef HWCAP_AES
#define HWCAP_AES (1UL << 3)
#endif

#define TARNWICK_TARGET_CRYPTO __attribute__((target("+crypto")))

namespace tarnwick {
namespace detail {
namespace {

// The round keys in the order the loop uses them. AESD adds its round key
// before InvShiftRows and InvSubBytes (AES-NI's AESDEC adds it last), and
// AESIMC is a separate instruction, so one round of the equivalent inverse
// cipher is AESIMC(AESD(state, key)):
//   AESD(rk10), AESIMC, AESD(IMC rk9), AESIMC, ..., AESD(IMC rk1), then XOR rk0.
// That uses the same eleven keys in the same order as the AES-NI loop: round
// key 10, round keys 9..1 through InvMixColumns, round key 0.
struct DecryptionKeys {
    uint8x16_t round[11];
};

TARNWICK_TARGET_CRYPTO inline void loadKeys(const std::uint8_t roundKeys[11][16],
                                            DecryptionKeys& keys) {
    for (unsigned r = 0; r < 11; ++r) keys.round[r] = vld1q_u8(roundKeys[r]);
}

TARNWICK_TARGET_CRYPTO inline uint8x16_t decrypt1(uint8x16_t block, const DecryptionKeys& keys) {
    for (unsigned r = 0; r < 9; ++r) block = vaesimcq_u8(vaesdq_u8(block, keys.round[r]));
    block = vaesdq_u8(block, keys.round[9]);
    return veorq_u8(block, keys.round[10]);
}

constexpr unsigned kLanes = 8;

// Eight blocks side by side: AESD and AESIMC each take a few cycles and cores
// fuse the pair, so eight independent chains keep the unit busy.
TARNWICK_TARGET_CRYPTO inline void decrypt8(uint8x16_t b[kLanes], const DecryptionKeys& keys) {
    for (unsigned r = 0; r < 9; ++r) {
        const uint8x16_t k = keys.round[r];
        b[0] = vaesimcq_u8(vaesdq_u8(b[0], k));
        b[1] = vaesimcq_u8(vaesdq_u8(b[1], k));
        b[2] = vaesimcq_u8(vaesdq_u8(b[2], k));
        b[3] = vaesimcq_u8(vaesdq_u8(b[3], k));
        b[4] = vaesimcq_u8(vaesdq_u8(b[4], k));
        b[5] = vaesimcq_u8(vaesdq_u8(b[5], k));
        b[6] = vaesimcq_u8(vaesdq_u8(b[6], k));
        b[7] = vaesimcq_u8(vaesdq_u8(b[7], k));
    }
    const uint8x16_t k9 = keys.round[9];
    const uint8x16_t k10 = keys.round[10];
    for (unsigned lane = 0; lane < kLanes; ++lane) {
        b[lane] = veorq_u8(vaesdq_u8(b[lane], k9), k10);
    }
}

// Length of an inner block's text: the index of its first zero byte, or 16.
// Each byte of the comparison is 0xFF where the block has a zero; read as two
// little-endian 64-bit halves, the lowest set bit gives the byte's index.
inline unsigned textLength(uint8x16_t block) {
    const uint64x2_t zeros = vreinterpretq_u64_u8(vceqzq_u8(block));
    const std::uint64_t low = vgetq_lane_u64(zeros, 0);
    if (low != 0) return static_cast<unsigned>(__builtin_ctzll(low)) / 8;
    const std::uint64_t high = vgetq_lane_u64(zeros, 1);
    if (high != 0) return 8 + static_cast<unsigned>(__builtin_ctzll(high)) / 8;
    return 16;
}

// Whether any of the eight blocks has a zero byte.
inline bool anyZeroByte(const uint8x16_t b[kLanes]) {
    uint8x16_t smallest = vminq_u8(b[0], b[1]);
    for (unsigned lane = 2; lane < kLanes; ++lane) smallest = vminq_u8(smallest, b[lane]);
    return vminvq_u8(smallest) == 0;
}

}  // namespace

bool hardwareAesAvailable() {
    // The kernel's answer does not change while the process runs.
    static const bool available = (getauxval(AT_HWCAP) & HWCAP_AES) != 0;
    return available;
}

TARNWICK_TARGET_CRYPTO void prepareHardwareRoundKeys(const std::uint8_t key[16],
                                                     std::uint8_t roundKeys[11][16]) {
    AesDecryptSchedule expanded;
    aesExpandKey(key, expanded);
    uint8x16_t encryption[11];
    for (unsigned r = 0; r < 11; ++r) {
        // The schedule's words are big-endian; the instructions take the
        // round key as the 16 bytes in block order.
        std::uint8_t bytes[16];
        for (unsigned i = 0; i < 16; ++i) {
            bytes[i] = static_cast<std::uint8_t>(expanded.rk[4 * r + i / 4] >> (24 - 8 * (i % 4)));
        }
        encryption[r] = vld1q_u8(bytes);
    }
    vst1q_u8(roundKeys[0], encryption[10]);
    for (unsigned r = 1; r < 10; ++r) vst1q_u8(roundKeys[r], vaesimcq_u8(encryption[10 - r]));
    vst1q_u8(roundKeys[10], encryption[0]);
}

TARNWICK_TARGET_CRYPTO void decryptBlockHardware(const std::uint8_t roundKeys[11][16],
                                                 const std::uint8_t in[16], std::uint8_t out[16]) {
    DecryptionKeys keys;
    loadKeys(roundKeys, keys);
    vst1q_u8(out, decrypt1(vld1q_u8(in), keys));
}

// The same lane logic as the AES-NI loop, which says why it is not shared.
TARNWICK_TARGET_CRYPTO std::uint32_t decodeInnerBlocksHardware(
    const std::uint8_t roundKeys[11][16], const std::uint8_t* in, std::uint32_t count,
    std::uint8_t* out, std::uint32_t* firstCut) {
    DecryptionKeys keys;
    loadKeys(roundKeys, keys);
    // Each block is stored whole at the current end, which then advances past
    // its text only: no store reaches past 16 * count bytes.
    std::uint32_t length = 0;
    std::uint32_t i = 0;
    for (; i + kLanes <= count; i += kLanes) {
        const std::uint8_t* at = in + i * std::uint32_t{kBlockSize};
        uint8x16_t b[kLanes];
        for (unsigned lane = 0; lane < kLanes; ++lane) b[lane] = vld1q_u8(at + 16 * lane);
        decrypt8(b, keys);
        if (!anyZeroByte(b)) {
            for (unsigned lane = 0; lane < kLanes; ++lane) vst1q_u8(out + length + 16 * lane, b[lane]);
            length += kLanes * std::uint32_t{kBlockSize};
            continue;
        }
        for (unsigned lane = 0; lane < kLanes; ++lane) {
            vst1q_u8(out + length, b[lane]);
            const unsigned text = textLength(b[lane]);
            length += text;
            if (text < kBlockSize && *firstCut == kNoCutYet) *firstCut = length;
        }
    }
    for (; i < count; ++i) {
        const uint8x16_t b = decrypt1(vld1q_u8(in + i * std::uint32_t{kBlockSize}), keys);
        vst1q_u8(out + length, b);
        const unsigned text = textLength(b);
        length += text;
        if (text < kBlockSize && *firstCut == kNoCutYet) *firstCut = length;
    }
    return length;
}

}  // namespace detail
}  // namespace tarnwick

#endif  // TARNWICK_HAVE_ARMV8_DECODER

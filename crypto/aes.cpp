#include "aes.h"

#include <cstddef>

namespace tarnwick {
namespace {

// ---------------------------------------------------------------------------
// Constant tables. Every table is computed by the compiler from its defining
// formula (constexpr), so nothing is initialised at run time and the binary
// carries them in read-only data. The static_asserts below pin entries to
// their published values so that a slip in a formula cannot go unnoticed.
// ---------------------------------------------------------------------------

struct ByteTable {
    std::uint8_t b[256];
};

struct alignas(64) WordTable {
    std::uint32_t w[256];
};

// Product of a and b in GF(2^8) with the AES reduction polynomial
// x^8 + x^4 + x^3 + x + 1.
constexpr std::uint8_t gfMul(std::uint8_t a, std::uint8_t b) {
    std::uint8_t product = 0;
    while (b != 0) {
        if (b & 1) product = static_cast<std::uint8_t>(product ^ a);
        a = static_cast<std::uint8_t>((a << 1) ^ ((a & 0x80) ? 0x1B : 0x00));
        b = static_cast<std::uint8_t>(b >> 1);
    }
    return product;
}

// Multiplicative inverse in GF(2^8) as a^254; zero maps to zero.
constexpr std::uint8_t gfInverse(std::uint8_t a) {
    std::uint8_t result = 1;
    std::uint8_t base = a;
    for (unsigned exponent = 254; exponent != 0; exponent >>= 1) {
        if (exponent & 1) result = gfMul(result, base);
        base = gfMul(base, base);
    }
    return result;
}

constexpr std::uint8_t rotl8(std::uint8_t x, unsigned n) {
    return static_cast<std::uint8_t>((x << n) | (x >> (8 - n)));
}

constexpr std::uint32_t rotr32(std::uint32_t x, unsigned n) { return (x >> n) | (x << (32 - n)); }

// Forward S-box: the inverse in GF(2^8) followed by the affine map.
constexpr ByteTable makeSbox() {
    ByteTable t{};
    for (unsigned x = 0; x < 256; ++x) {
        const std::uint8_t s = gfInverse(static_cast<std::uint8_t>(x));
        t.b[x] = static_cast<std::uint8_t>(s ^ rotl8(s, 1) ^ rotl8(s, 2) ^ rotl8(s, 3) ^
                                           rotl8(s, 4) ^ 0x63);
    }
    return t;
}

constexpr ByteTable makeInverseSbox(const ByteTable& sbox) {
    ByteTable t{};
    for (unsigned x = 0; x < 256; ++x) t.b[sbox.b[x]] = static_cast<std::uint8_t>(x);
    return t;
}

// Td0[x]: the column InvMixColumns makes of a lone byte s = InvSbox[x] in the
// top row, i.e. (0e*s, 09*s, 0d*s, 0b*s) from the most significant byte down.
constexpr WordTable makeTd0(const ByteTable& inverseSbox) {
    WordTable t{};
    for (unsigned x = 0; x < 256; ++x) {
        const std::uint8_t s = inverseSbox.b[x];
        t.w[x] = std::uint32_t{gfMul(s, 0x0E)} << 24 | std::uint32_t{gfMul(s, 0x09)} << 16 |
                 std::uint32_t{gfMul(s, 0x0D)} << 8 | std::uint32_t{gfMul(s, 0x0B)};
    }
    return t;
}

// Td0 with every entry rotated right by `bits`: the same column for a byte
// that sits in row bits/8 instead of the top row.
constexpr WordTable rotateTable(const WordTable& td0, unsigned bits) {
    WordTable t{};
    for (unsigned x = 0; x < 256; ++x) t.w[x] = rotr32(td0.w[x], bits);
    return t;
}

// Td4[x]: InvSbox[x] repeated in all four bytes, masked per byte in the
// last round (which has no InvMixColumns).
constexpr WordTable makeTd4(const ByteTable& inverseSbox) {
    WordTable t{};
    for (unsigned x = 0; x < 256; ++x) t.w[x] = std::uint32_t{inverseSbox.b[x]} * 0x01010101u;
    return t;
}

// S-box, used by the key expansion and to undo the inverse S-box folded into
// the Td tables when round keys are converted for decryption.
constexpr ByteTable kSbox = makeSbox();
constexpr ByteTable kInverseSbox = makeInverseSbox(kSbox);
constexpr WordTable kTd0 = makeTd0(kInverseSbox);
constexpr WordTable kTd1 = rotateTable(kTd0, 8);
constexpr WordTable kTd2 = rotateTable(kTd0, 16);
constexpr WordTable kTd3 = rotateTable(kTd0, 24);
constexpr WordTable kTd4 = makeTd4(kInverseSbox);

// Round constants for AES-128's ten expansion steps, already in the top byte.
constexpr std::uint32_t kRcon[10] = {0x01000000, 0x02000000, 0x04000000, 0x08000000, 0x10000000,
                                     0x20000000, 0x40000000, 0x80000000, 0x1B000000, 0x36000000};

static_assert(kSbox.b[0x00] == 0x63 && kSbox.b[0x01] == 0x7C && kSbox.b[0x53] == 0xED &&
                  kSbox.b[0xFF] == 0x16,
              "S-box");
static_assert(kInverseSbox.b[0x00] == 0x52 && kInverseSbox.b[0x63] == 0x00 &&
                  kInverseSbox.b[0xFF] == 0x7D,
              "inverse S-box");
static_assert(kTd0.w[0] == 0x51F4A750u && kTd1.w[0] == 0x5051F4A7u && kTd2.w[0] == 0xA75051F4u &&
                  kTd3.w[0] == 0xF4A75051u && kTd4.w[0] == 0x52525252u,
              "first entries of the decryption tables");
static_assert(kTd0.w[1] == 0x7E416553u && kTd0.w[255] == 0xD0B85742u,
              "more entries of the decryption table");

// ---------------------------------------------------------------------------

inline std::uint32_t loadBigEndian32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 |
           std::uint32_t{p[3]};
}

inline void storeBigEndian32(std::uint32_t v, std::uint8_t* p) {
    p[0] = static_cast<std::uint8_t>(v >> 24);
    p[1] = static_cast<std::uint8_t>(v >> 16);
    p[2] = static_cast<std::uint8_t>(v >> 8);
    p[3] = static_cast<std::uint8_t>(v);
}

inline std::uint32_t byteAt(std::uint32_t word, unsigned shift) { return (word >> shift) & 0xFF; }

}  // namespace

void aesExpandKey(const std::uint8_t key[16], AesDecryptSchedule& schedule) {
    std::uint32_t* rk = schedule.rk;
    for (unsigned i = 0; i < 4; ++i) rk[i] = loadBigEndian32(key + 4 * i);
    for (unsigned i = 0; i < 10; ++i) {
        const std::uint32_t t = rk[4 * i + 3];
        // SubWord(RotWord(t)) ^ Rcon
        rk[4 * i + 4] =
            rk[4 * i] ^
            (std::uint32_t{kSbox.b[byteAt(t, 16)]} << 24 |
             std::uint32_t{kSbox.b[byteAt(t, 8)]} << 16 |
             std::uint32_t{kSbox.b[byteAt(t, 0)]} << 8 | std::uint32_t{kSbox.b[byteAt(t, 24)]}) ^
            kRcon[i];
        rk[4 * i + 5] = rk[4 * i + 1] ^ rk[4 * i + 4];
        rk[4 * i + 6] = rk[4 * i + 2] ^ rk[4 * i + 5];
        rk[4 * i + 7] = rk[4 * i + 3] ^ rk[4 * i + 6];
    }
}

void aesPrepareDecryptSchedule(const std::uint8_t key[16], AesDecryptSchedule& schedule) {
    aesExpandKey(key, schedule);
    // The inner rounds of the equivalent inverse cipher add InvMixColumns of
    // the round key. A Td lookup is InvMixColumns of InvSbox[x], so looking up
    // S[b] for each key byte b yields InvMixColumns of the key byte itself.
    for (unsigned i = 4; i < 40; ++i) {
        const std::uint32_t w = schedule.rk[i];
        schedule.rk[i] = kTd0.w[kSbox.b[byteAt(w, 24)]] ^ kTd1.w[kSbox.b[byteAt(w, 16)]] ^
                         kTd2.w[kSbox.b[byteAt(w, 8)]] ^ kTd3.w[kSbox.b[byteAt(w, 0)]];
    }
}

void aesDecryptBlock(const std::uint8_t in[16], const AesDecryptSchedule& schedule,
                     std::uint8_t out[16]) {
    const std::uint32_t* rk = schedule.rk;
    std::uint32_t s0 = loadBigEndian32(in) ^ rk[40];
    std::uint32_t s1 = loadBigEndian32(in + 4) ^ rk[41];
    std::uint32_t s2 = loadBigEndian32(in + 8) ^ rk[42];
    std::uint32_t s3 = loadBigEndian32(in + 12) ^ rk[43];

    // Nine full rounds: InvSubBytes, InvShiftRows and InvMixColumns through
    // the tables (row k of an output column comes from column c - k), then
    // the converted round key.
    for (unsigned r = 9; r >= 1; --r) {
        const std::uint32_t* k = rk + 4 * r;
        const std::uint32_t t0 = kTd0.w[s0 >> 24] ^ kTd1.w[byteAt(s3, 16)] ^ kTd2.w[byteAt(s2, 8)] ^
                                 kTd3.w[byteAt(s1, 0)] ^ k[0];
        const std::uint32_t t1 = kTd0.w[s1 >> 24] ^ kTd1.w[byteAt(s0, 16)] ^ kTd2.w[byteAt(s3, 8)] ^
                                 kTd3.w[byteAt(s2, 0)] ^ k[1];
        const std::uint32_t t2 = kTd0.w[s2 >> 24] ^ kTd1.w[byteAt(s1, 16)] ^ kTd2.w[byteAt(s0, 8)] ^
                                 kTd3.w[byteAt(s3, 0)] ^ k[2];
        const std::uint32_t t3 = kTd0.w[s3 >> 24] ^ kTd1.w[byteAt(s2, 16)] ^ kTd2.w[byteAt(s1, 8)] ^
                                 kTd3.w[byteAt(s0, 0)] ^ k[3];
        s0 = t0;
        s1 = t1;
        s2 = t2;
        s3 = t3;
    }

    // Last round: InvShiftRows and InvSubBytes only, then round key 0.
    const auto lastRound = [](std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t d) {
        return (kTd4.w[a >> 24] & 0xFF000000u) ^ (kTd4.w[byteAt(b, 16)] & 0x00FF0000u) ^
               (kTd4.w[byteAt(c, 8)] & 0x0000FF00u) ^ (kTd4.w[byteAt(d, 0)] & 0x000000FFu);
    };
    storeBigEndian32(lastRound(s0, s3, s2, s1) ^ rk[0], out);
    storeBigEndian32(lastRound(s1, s0, s3, s2) ^ rk[1], out + 4);
    storeBigEndian32(lastRound(s2, s1, s0, s3) ^ rk[2], out + 8);
    storeBigEndian32(lastRound(s3, s2, s1, s0) ^ rk[3], out + 12);
}

}  // namespace tarnwick

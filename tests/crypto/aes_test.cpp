// Both ciphers, the table one and the hardware one (AES-NI or ARMv8), against published AES-128
// values: FIPS-197 (Appendix A.1 key expansion, Appendix C.1 example) and NIST SP 800-38A F.1.2
// (ECB decryption). Each was also checked with `openssl enc -aes-128-ecb -nopad`. The hardware
// cipher is reached through the decoder's block loops, the only code that uses it.
#include "aes.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "decoders.h"
#include "test_util.h"

namespace tarnwick {
namespace {

using tarnwick_test::fromHex;

struct KnownBlock {
    const char* key;
    const char* plaintext;
    const char* ciphertext;
};

constexpr KnownBlock kKnownBlocks[] = {
    // FIPS-197 Appendix C.1
    {"000102030405060708090a0b0c0d0e0f", "00112233445566778899aabbccddeeff",
     "69c4e0d86a7b0430d8cdb78070b4c55a"},
    // SP 800-38A F.1.2, blocks 1 to 4
    {"2b7e151628aed2a6abf7158809cf4f3c", "6bc1bee22e409f96e93d7e117393172a",
     "3ad77bb40d7a3660a89ecaf32466ef97"},
    {"2b7e151628aed2a6abf7158809cf4f3c", "ae2d8a571e03ac9c9eb76fac45af8e51",
     "f5d3d58503b9699de785895a96fdbaaf"},
    {"2b7e151628aed2a6abf7158809cf4f3c", "30c81c46a35ce411e5fbc1191a0a52ef",
     "43b1cd7f598ece23881b00e3ed030688"},
    {"2b7e151628aed2a6abf7158809cf4f3c", "f69f2445df4f9b17ad2b417be66c3710",
     "7b0c785e27e8ad3f8223207104725dd4"},
};

TEST(AesTest, DecryptsPublishedVectors) {
    // One schedule per key serves all of that key's blocks, twice over: the
    // second pass fails if decrypting changed the schedule.
    for (int pass = 0; pass < 2; ++pass) {
        const char* scheduledKey = "";
        AesDecryptSchedule schedule;
        for (const KnownBlock& known : kKnownBlocks) {
            SCOPED_TRACE(std::string(known.ciphertext) + ", pass " + std::to_string(pass));
            if (std::strcmp(scheduledKey, known.key) != 0) {
                aesPrepareDecryptSchedule(fromHex(known.key).data(), schedule);
                scheduledKey = known.key;
            }
            const auto cipher = fromHex(known.ciphertext);
            std::vector<std::uint8_t> out(16);
            aesDecryptBlock(cipher.data(), schedule, out.data());
            EXPECT_EQ(out, fromHex(known.plaintext));
        }
    }
}

TEST(AesTest, KeyExpansionMatchesFips197AppendixA1) {
    const auto key = fromHex("2b7e151628aed2a6abf7158809cf4f3c");
    AesDecryptSchedule expanded;
    aesExpandKey(key.data(), expanded);
    // w[0..3] is the key itself, w[4..7] and w[40..43] from the published table.
    const std::uint32_t expected[][2] = {
        {0, 0x2b7e1516},  {3, 0x09cf4f3c},  {4, 0xa0fafe17},  {7, 0x2a6c7605},
        {40, 0xd014f9a8}, {41, 0xc9ee2589}, {42, 0xe13f0cc8}, {43, 0xb6630ca6},
    };
    for (const auto& e : expected) EXPECT_EQ(expanded.rk[e[0]], e[1]) << "w[" << e[0] << "]";
}

TEST(AesTest, DecryptScheduleKeepsOuterRoundKeysInPlace) {
    // Decryption starts from round key 10 at rk[40] and ends with the
    // unconverted key itself at rk[0].
    const auto key = fromHex("2b7e151628aed2a6abf7158809cf4f3c");
    AesDecryptSchedule expanded;
    AesDecryptSchedule prepared;
    aesExpandKey(key.data(), expanded);
    aesPrepareDecryptSchedule(key.data(), prepared);
    for (int i : {0, 1, 2, 3, 40, 41, 42, 43}) {
        EXPECT_EQ(prepared.rk[i], expanded.rk[i]) << "rk[" << i << "]";
    }
}

TEST(AesTest, EachBlockLoopDecryptsPublishedVectors) {
    // The four SP 800-38A blocks (no zero byte in their plaintexts) as 21
    // inner blocks, in an order that differs from its reverse within every
    // group of eight, so that the AES-NI loop's lanes (eight at a time, then
    // one at a time) must each land in place. A last block without a marker
    // adds nothing.
    const KnownBlock* sp800[4] = {&kKnownBlocks[1], &kKnownBlocks[2], &kKnownBlocks[3],
                                  &kKnownBlocks[4]};
    const auto key = fromHex(sp800[0]->key);
    std::vector<std::uint8_t> payload;
    std::vector<std::uint8_t> expected;
    for (int i = 0; i < 22; ++i) {
        const KnownBlock& known = *sp800[(i * 5 + i / 4) % 4];
        const auto cipher = fromHex(known.ciphertext);
        payload.insert(payload.end(), cipher.begin(), cipher.end());
        if (i < 21) {
            const auto plain = fromHex(known.plaintext);
            expected.insert(expected.end(), plain.begin(), plain.end());
        }
    }
    for (const tarnwick_test::Decoder& decoder : tarnwick_test::decoders()) {
        SCOPED_TRACE(decoder.name);
        const DecodedPayload decoded = decoder.decode(key.data(), payload.data(), payload.size());
        EXPECT_EQ(decoded.plaintext, expected);
        EXPECT_EQ(decoded.status, PayloadStatus::kPaddingMissing);
        EXPECT_EQ(decoded.firstZero, kNoZeroByte);
    }
}

}  // namespace
}  // namespace tarnwick

// OpenSSL as an oracle: blocks it encrypts under random keys must decrypt to
// themselves. Built only where libcrypto is available natively.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "aes.h"
#include "model_seal.h"

namespace tarnwick {
namespace {

TEST(OpenSslOracleTest, RandomKeysAndBlocksRoundTrip) {
    std::mt19937_64 rng(20240611);
    std::uniform_int_distribution<int> byte(0, 255);
    constexpr int kKeys = 200;
    constexpr int kBlocksPerKey = 50;
    for (int k = 0; k < kKeys; ++k) {
        std::uint8_t key[16];
        for (auto& b : key) b = static_cast<std::uint8_t>(byte(rng));
        std::vector<std::uint8_t> plaintext(16 * kBlocksPerKey);
        for (auto& b : plaintext) b = static_cast<std::uint8_t>(byte(rng));
        std::vector<std::uint8_t> cipher;
        ASSERT_TRUE(seal::encryptEcb(key, plaintext.data(), plaintext.size(), cipher));
        ASSERT_EQ(cipher.size(), plaintext.size());

        AesDecryptSchedule schedule;
        aesPrepareDecryptSchedule(key, schedule);
        std::vector<std::uint8_t> decrypted(plaintext.size());
        for (int i = 0; i < kBlocksPerKey; ++i) {
            aesDecryptBlock(cipher.data() + 16 * i, schedule, decrypted.data() + 16 * i);
        }
        ASSERT_EQ(decrypted, plaintext) << "key #" << k;
    }
}

}  // namespace
}  // namespace tarnwick

// OpenSSL as an oracle: blocks it encrypts under random keys must decrypt to
// themselves. Built only where libcrypto is available natively.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstdint>
#include <random>
#include <vector>

#include "aes.h"

namespace tarnwick {
namespace {

std::vector<std::uint8_t> opensslEncryptEcb(const std::uint8_t key[16],
                                            const std::vector<std::uint8_t>& plaintext) {
    std::vector<std::uint8_t> out(plaintext.size() + 16);
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    int length = 0;
    int finalLength = 0;
    const bool ok = ctx != nullptr &&
                    EVP_EncryptInit_ex(ctx, EVP_aes_128_ecb(), nullptr, key, nullptr) == 1 &&
                    EVP_CIPHER_CTX_set_padding(ctx, 0) == 1 &&
                    EVP_EncryptUpdate(ctx, out.data(), &length, plaintext.data(),
                                      static_cast<int>(plaintext.size())) == 1 &&
                    EVP_EncryptFinal_ex(ctx, out.data() + length, &finalLength) == 1;
    EVP_CIPHER_CTX_free(ctx);
    if (!ok) return {};
    out.resize(static_cast<std::size_t>(length + finalLength));
    return out;
}

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
        const auto cipher = opensslEncryptEcb(key, plaintext);
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

// AES-128-ECB encryption without padding through OpenSSL's libcrypto: the
// independent cipher the crypto tests check ours against. Test-only.
#ifndef TARNWICK_TESTS_CRYPTO_OPENSSL_ECB_H
#define TARNWICK_TESTS_CRYPTO_OPENSSL_ECB_H

#include <openssl/evp.h>

#include <cstddef>
#include <cstdint>
#include <vector>

// Encrypts whole blocks; returns an empty vector if OpenSSL fails.
inline std::vector<std::uint8_t> opensslEncryptEcb(const std::uint8_t key[16],
                                                   const std::uint8_t* plaintext,
                                                   std::size_t size) {
    std::vector<std::uint8_t> out(size + 16);
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    int length = 0;
    int finalLength = 0;
    const bool ok =
        ctx != nullptr && EVP_EncryptInit_ex(ctx, EVP_aes_128_ecb(), nullptr, key, nullptr) == 1 &&
        EVP_CIPHER_CTX_set_padding(ctx, 0) == 1 &&
        EVP_EncryptUpdate(ctx, out.data(), &length, plaintext, static_cast<int>(size)) == 1 &&
        EVP_EncryptFinal_ex(ctx, out.data() + length, &finalLength) == 1;
    EVP_CIPHER_CTX_free(ctx);
    if (!ok) return {};
    out.resize(static_cast<std::size_t>(length + finalLength));
    return out;
}

#endif

#include "model_seal.h"

#include <openssl/evp.h>

#include <memory>

namespace tarnwick::seal {
namespace {

constexpr std::size_t kBlock = 16;
constexpr std::uint8_t kMarker = 0x80;

struct CipherContextFree {
    void operator()(EVP_CIPHER_CTX* context) const { EVP_CIPHER_CTX_free(context); }
};

}  // namespace

bool encryptEcb(const std::uint8_t key[16], const std::uint8_t* plain, std::size_t size,
                std::vector<std::uint8_t>& sealed) {
    if (size % kBlock != 0 || size > static_cast<std::size_t>(INT32_MAX) - kBlock) return false;
    std::unique_ptr<EVP_CIPHER_CTX, CipherContextFree> context(EVP_CIPHER_CTX_new());
    sealed.assign(size + kBlock, 0);
    int written = 0;
    int final = 0;
    const bool ok =
        context != nullptr &&
        EVP_EncryptInit_ex(context.get(), EVP_aes_128_ecb(), nullptr, key, nullptr) == 1 &&
        EVP_CIPHER_CTX_set_padding(context.get(), 0) == 1 &&
        EVP_EncryptUpdate(context.get(), sealed.data(), &written, plain, static_cast<int>(size)) ==
            1 &&
        EVP_EncryptFinal_ex(context.get(), sealed.data() + written, &final) == 1;
    if (!ok || static_cast<std::size_t>(written) + static_cast<std::size_t>(final) != size) {
        sealed.clear();
        return false;
    }
    sealed.resize(size);
    return true;
}

std::vector<std::uint8_t> padModelText(const std::uint8_t* text, std::size_t size) {
    std::vector<std::uint8_t> padded(text, text + size);
    padded.push_back(kMarker);
    padded.resize((padded.size() + kBlock - 1) / kBlock * kBlock, 0);
    return padded;
}

bool sealModelText(const std::uint8_t key[16], const std::uint8_t* text, std::size_t size,
                   std::vector<std::uint8_t>& sealed) {
    const std::vector<std::uint8_t> padded = padModelText(text, size);
    return encryptEcb(key, padded.data(), padded.size(), sealed);
}

}  // namespace tarnwick::seal

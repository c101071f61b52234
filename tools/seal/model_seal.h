// Sealing model files, the service's side of the format that the library's
// decoder reads: the text, one 0x80 marker byte, zero bytes to the end of its
// 16-byte block, all encrypted with AES-128-ECB. Encryption is OpenSSL's: the
// library itself only decrypts. An oracle independent of the library and of
// tarnwick-model.jar (which seals with the JDK's cipher): used by the crypto
// tests' fixture generator and oracle test, and the decoder benchmark.
#ifndef TARNWICK_TOOLS_SEAL_MODEL_SEAL_H
#define TARNWICK_TOOLS_SEAL_MODEL_SEAL_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tarnwick::seal {

// AES-128-ECB over whole blocks with no padding added. False when OpenSSL
// fails or `size` is not a multiple of 16.
bool encryptEcb(const std::uint8_t key[16], const std::uint8_t* plain, std::size_t size,
                std::vector<std::uint8_t>& sealed);

// The text, the 0x80 marker, then zeros to the end of the marker's block: a
// text that fills its last block gets a whole block of padding.
std::vector<std::uint8_t> padModelText(const std::uint8_t* text, std::size_t size);

// padModelText, then encryptEcb: a model file as the service serves it.
bool sealModelText(const std::uint8_t key[16], const std::uint8_t* text, std::size_t size,
                   std::vector<std::uint8_t>& sealed);

}  // namespace tarnwick::seal

#endif

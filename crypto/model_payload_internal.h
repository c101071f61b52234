// Internals of the model payload decoder, shared by its two block loops and
// open to the tests and benchmarks. Not part of the library's interface.
#ifndef TARNWICK_CRYPTO_MODEL_PAYLOAD_INTERNAL_H
#define TARNWICK_CRYPTO_MODEL_PAYLOAD_INTERNAL_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tarnwick {
namespace detail {

constexpr std::size_t kBlockSize = 16;

// Writes the model key into `key` from the kModelKeyWord constants.
void assembleModelKey(std::uint8_t key[16]);

// Appends the text of the decrypted last block, or prints the padding
// diagnostic when its marker is missing. Appends at most 15 bytes.
void appendLastBlock(std::vector<std::uint8_t>& plaintext, const std::uint8_t block[16]);

// The decoder on the portable table cipher. Same contract as
// decodeModelPayload.
std::vector<std::uint8_t> decodeModelPayloadPortable(const std::uint8_t* data, std::size_t size);

// Whether this CPU has the AES instructions the hardware decoder needs.
// Always false where the hardware decoder is not compiled in (not x86).
bool hardwareAesAvailable();

// The decoder on the CPU's AES instructions; same contract and same output as
// decodeModelPayloadPortable. Call only when hardwareAesAvailable(); where the
// hardware decoder is not compiled in, this is the portable one.
std::vector<std::uint8_t> decodeModelPayloadHardware(const std::uint8_t* data, std::size_t size);

// Plain ECB decryption of `blocks` blocks with the hardware decoder's round
// code, for testing it against known vectors. Same precondition as above.
void hardwareDecryptBlocks(const std::uint8_t key[16], const std::uint8_t* in, std::size_t blocks,
                           std::uint8_t* out);

}  // namespace detail
}  // namespace tarnwick

#endif

// AES-128 decryption of single 16-byte blocks (FIPS-197), table driven.
//
// The cipher allocates nothing and keeps no state: a schedule is prepared
// once from a key and may then be used, read-only, for any number of blocks
// on any number of threads.
#ifndef TARNWICK_CRYPTO_AES_H
#define TARNWICK_CRYPTO_AES_H

#include <cstdint>

namespace tarnwick {

// Eleven round keys of four big-endian words each; round key r is
// rk[4r..4r+3]. AES-128's ten rounds are fixed, so no round count is kept.
struct AesDecryptSchedule {
    std::uint32_t rk[44];
};

// Fills the AES-128 encryption key schedule (FIPS-197 key expansion, Nk = 4).
void aesExpandKey(const std::uint8_t key[16], AesDecryptSchedule& schedule);

// Expands the key and converts round keys 1..9 for the Equivalent Inverse
// Cipher. The order is not reversed: decryption walks from rk[40] to rk[0].
void aesPrepareDecryptSchedule(const std::uint8_t key[16], AesDecryptSchedule& schedule);

// Decrypts one block. `in` and `out` must not overlap.
void aesDecryptBlock(const std::uint8_t in[16], const AesDecryptSchedule& schedule,
                     std::uint8_t out[16]);

}  // namespace tarnwick

#endif

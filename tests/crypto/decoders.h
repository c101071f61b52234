// The decoder entry points under test: the dispatching one, the table loop,
// and the AES-NI loop where the CPU has it.
#ifndef TARNWICK_TESTS_CRYPTO_DECODERS_H
#define TARNWICK_TESTS_CRYPTO_DECODERS_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "model_payload.h"
#include "model_payload_internal.h"
#include "test_util.h"

namespace tarnwick_test {

using DecodeFunction = tarnwick::DecodedPayload (*)(const std::uint8_t*, const std::uint8_t*,
                                                    std::size_t);

struct Decoder {
    const char* name;
    DecodeFunction decode;
};

inline std::vector<Decoder> decoders() {
    std::vector<Decoder> all = {{"decodePayload", &tarnwick::decodePayload},
                                {"portable", &tarnwick::detail::decodePayloadPortable}};
    if (tarnwick::detail::hardwareAesAvailable()) {
        all.push_back({"hardware", &tarnwick::detail::decodePayloadHardware});
    }
    return all;
}

inline std::vector<std::uint8_t> buildKey() { return fromHex(TARNWICK_EFFECTIVE_MODEL_KEY); }

}  // namespace tarnwick_test

#endif

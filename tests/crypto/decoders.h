// The decoder entry points under test: the dispatching one, the table path,
// and the AES-NI path where the CPU has it.
#ifndef TARNWICK_TESTS_CRYPTO_DECODERS_H
#define TARNWICK_TESTS_CRYPTO_DECODERS_H

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "model_payload.h"
#include "model_payload_internal.h"

namespace tarnwick_test {

using DecodeFunction = std::vector<std::uint8_t> (*)(const std::uint8_t*, std::size_t);

struct Decoder {
    const char* name;
    DecodeFunction decode;
};

inline std::vector<Decoder> decoders() {
    std::vector<Decoder> all = {{"decodeModelPayload", &tarnwick::decodeModelPayload},
                                {"portable", &tarnwick::detail::decodeModelPayloadPortable}};
    if (tarnwick::detail::hardwareAesAvailable()) {
        all.push_back({"hardware", &tarnwick::detail::decodeModelPayloadHardware});
    }
    return all;
}

struct Decoded {
    std::vector<std::uint8_t> plaintext;
    std::string output;  // what the call wrote to standard output
};

inline Decoded decodeCapturingStdout(DecodeFunction decode, const std::uint8_t* data,
                                     std::size_t size) {
    testing::internal::CaptureStdout();
    Decoded decoded;
    decoded.plaintext = decode(data, size);
    decoded.output = testing::internal::GetCapturedStdout();
    return decoded;
}

}  // namespace tarnwick_test

#endif

// libFuzzer target for the model payload decoder. Besides the sanitizers'
// own checks it enforces what the decoder promises about its output size.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "model_payload.h"

namespace {

void require(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Most inputs end in a bad padding block and print the diagnostic; keep
    // that out of the way of libFuzzer's own report on stderr.
    if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto plaintext = tarnwick::decodeModelPayload(data, size);
    if (size == 0 || size % 16 != 0) {
        require(plaintext.empty(), "a partial block gives an empty plaintext");
    } else {
        require(plaintext.size() <= size - 1, "plaintext shorter than the payload");
        require(plaintext.capacity() <= size - 1, "a single allocation of at most size - 1");
    }
    return 0;
}

// libFuzzer target for the model payload decoder. Besides the sanitizers'
// own checks it enforces what the decoder promises about its output, that
// the AES-NI and table loops agree, and that decodeModelPayload prints the
// diagnostic exactly when the marker is missing.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "model_payload.h"
#include "model_payload_internal.h"

namespace {

void require(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

// Bytes written to standard output so far.
long outputPosition() {
    std::fflush(stdout);
    return std::ftell(stdout);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Most inputs end in a bad padding block and print the diagnostic. It
    // goes to a scratch file, kept out of libFuzzer's report and measured to
    // check what decodeModelPayload printed.
    char path[] = "/tmp/fuzz_model_payload_stdout.XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0 || dup2(fd, STDOUT_FILENO) < 0) std::abort();
    close(fd);
    unlink(path);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace tarnwick;
    if (outputPosition() > (1L << 20)) {
        if (ftruncate(STDOUT_FILENO, 0) != 0) std::abort();
        std::rewind(stdout);
    }

    std::uint8_t key[16];
    detail::assembleModelKey(key);
    const DecodedPayload portable = detail::decodePayloadPortable(key, data, size);
    const bool wholeBlocks = size != 0 && size % 16 == 0;
    if (!wholeBlocks) {
        require(portable.status == PayloadStatus::kNotWholeBlocks, "a partial block is refused");
        require(portable.plaintext.empty(), "a partial block gives an empty plaintext");
    } else {
        require(portable.status != PayloadStatus::kNotWholeBlocks, "whole blocks are decoded");
        require(portable.plaintext.size() <= size - 1, "plaintext shorter than the payload");
        require(portable.plaintext.capacity() <= size - 1,
                "a single allocation of at most size - 1");
    }
    require(portable.firstZero == kNoZeroByte || portable.firstZero <= portable.plaintext.size(),
            "the first zero byte lies within the text");

    if (detail::hardwareAesAvailable()) {
        const DecodedPayload hardware = detail::decodePayloadHardware(key, data, size);
        require(hardware.plaintext == portable.plaintext, "both loops give the same plaintext");
        require(hardware.status == portable.status, "both loops give the same status");
        require(hardware.firstZero == portable.firstZero, "both loops find the same zero byte");
        if (wholeBlocks) {
            require(hardware.plaintext.capacity() <= size - 1,
                    "a single allocation of at most size - 1");
        }
    }

    // The built-in key's entry point: the same text, and the diagnostic line
    // exactly when the marker is missing.
    const long start = outputPosition();
    const auto plaintext = decodeModelPayload(data, size);
    const long printed = outputPosition() - start;
    require(plaintext == portable.plaintext, "decodeModelPayload gives the loops' plaintext");
    require(printed == (portable.status == PayloadStatus::kPaddingMissing
                            ? static_cast<long>(std::strlen(kPaddingErrorLine) + 1)
                            : 0),
            "one diagnostic line exactly when the marker is missing");
    return 0;
}

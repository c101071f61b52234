// libFuzzer target for the model payload decoder. Besides the sanitizers'
// own checks it enforces what the decoder promises about its output, and
// that the AES-NI and table decoders agree, diagnostic included.
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
    // compare what each decoder printed.
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

    const long start = outputPosition();
    const auto portable = detail::decodeModelPayloadPortable(data, size);
    const long afterPortable = outputPosition();
    const long printed = afterPortable - start;

    const bool wholeBlocks = size != 0 && size % 16 == 0;
    if (!wholeBlocks) {
        require(portable.empty(), "a partial block gives an empty plaintext");
        require(printed == 0, "a partial block prints nothing");
    } else {
        require(portable.size() <= size - 1, "plaintext shorter than the payload");
        require(portable.capacity() <= size - 1, "a single allocation of at most size - 1");
        require(printed == 0 || printed == static_cast<long>(std::strlen(kPaddingErrorLine) + 1),
                "at most one diagnostic line");
    }

    if (detail::hardwareAesAvailable()) {
        const auto hardware = detail::decodeModelPayloadHardware(data, size);
        require(hardware == portable, "both decoders give the same plaintext");
        require(outputPosition() - afterPortable == printed, "both decoders print the same");
        if (wholeBlocks) {
            require(hardware.capacity() <= size - 1, "a single allocation of at most size - 1");
        }
    }
    return 0;
}

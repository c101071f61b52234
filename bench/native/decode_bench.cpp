// Decoding throughput of the model payload decoder (dispatching, AES-NI and
// table loops) against OpenSSL's AES-128-ECB decryption of the same payload
// followed by the same text scan: the first zero byte of every inner block
// and the padding marker of the last.
//
// The OpenSSL side is given every advantage: its key schedule is made once,
// it decrypts into a buffer allocated once, and the scan only adds up the
// text lengths instead of gathering the text into a new vector.
//
// The vector decoders return a fresh vector on every call, as the tests and
// the tool use them; the library decodes into an array it is handed, which
// BM_DecodeInto measures with a buffer kept between calls. Whether that allocation costs page faults depends on the
// allocator, not on the decoder: with glibc's defaults an 8 MiB block is at
// first mapped afresh on every call (about 2048 faults, four to five times
// the decoding time), until the adaptive mmap threshold happens to rise past
// it, which depends on what was allocated and freed before. That made the
// 8 MiB figures swing between runs and between benchmarks of the same code.
// So main() pins the allocator: blocks below 256 MiB come from the heap and
// freed memory stays mapped, every benchmark decodes once before timing, and
// each reports its page faults per iteration (0 when steady). The cost of
// fresh pages is measured on its own, by BM_DecodeFreshPages.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <openssl/evp.h>
#include <sys/resource.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "model_payload.h"
#include "model_payload_internal.h"
#include "model_seal.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

constexpr int kHeapMmapThreshold = 256 << 20;

std::vector<std::uint8_t> modelKey() {
    const std::string hex = TARNWICK_EFFECTIVE_MODEL_KEY;
    std::vector<std::uint8_t> key;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        key.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    return key;
}

// A sealed model of `size` bytes: printable text (no zero bytes, as in the
// service's model files) with the marker in the last block.
std::vector<std::uint8_t> sealedPayload(std::size_t size) {
    std::vector<std::uint8_t> text(size - 8);
    std::mt19937 rng(7);
    for (auto& b : text) b = static_cast<std::uint8_t>(' ' + rng() % 95);
    std::vector<std::uint8_t> sealed;
    if (!tarnwick::seal::sealModelText(modelKey().data(), text.data(), text.size(), sealed) ||
        sealed.size() != size) {
        std::abort();
    }
    return sealed;
}

long minorFaults() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_minflt;
}

// Runs `decode` once untimed (so that its output pages exist), then times
// it, reporting bytes per second and page faults per iteration. With
// `freshPages`, the allocator hands every free page back to the kernel
// between iterations (untimed), so each plaintext is written to pages the
// kernel must supply anew.
template <class Decode>
void runDecoder(benchmark::State& state, Decode decode, bool freshPages = false) {
    const auto payload = sealedPayload(static_cast<std::size_t>(state.range(0)));
    benchmark::DoNotOptimize(decode(payload.data(), payload.size()).data());
    const long faultsBefore = minorFaults();
    for (auto _ : state) {
        if (freshPages) {
            state.PauseTiming();
            malloc_trim(0);
            state.ResumeTiming();
        }
        auto plaintext = decode(payload.data(), payload.size());
        benchmark::DoNotOptimize(plaintext.data());
        benchmark::ClobberMemory();
    }
    state.counters["faults"] = benchmark::Counter(static_cast<double>(minorFaults() - faultsBefore),
                                                  benchmark::Counter::kAvgIterations);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(payload.size()));
}

void BM_Decode(benchmark::State& state) { runDecoder(state, tarnwick::decodeModelPayload); }

void BM_DecodeHardware(benchmark::State& state) {
    if (!tarnwick::detail::hardwareAesAvailable()) {
        state.SkipWithError("no AES-NI on this CPU");
        return;
    }
    const auto key = modelKey();
    runDecoder(state, [&key](const std::uint8_t* data, std::size_t size) {
        return tarnwick::detail::decodePayloadHardware(key.data(), data, size).plaintext;
    });
}

void BM_DecodeTable(benchmark::State& state) {
    const auto key = modelKey();
    runDecoder(state, [&key](const std::uint8_t* data, std::size_t size) {
        return tarnwick::detail::decodePayloadPortable(key.data(), data, size).plaintext;
    });
}

// The dispatching decoder writing every plaintext to fresh pages, as it does
// when the allocator maps each large block afresh.
void BM_DecodeFreshPages(benchmark::State& state) {
    runDecoder(state, tarnwick::decodeModelPayload, true);
}

// The library's own path: the dispatching decoder into a buffer the caller
// keeps (in the library, the loader's Java array), 1 MiB slices at a time.
void BM_DecodeInto(benchmark::State& state) {
    const auto payload = sealedPayload(static_cast<std::size_t>(state.range(0)));
    const auto key = modelKey();
    std::vector<std::uint8_t> text(tarnwick::payloadTextCapacity(payload.size()));
    const auto decode = [&] {
        tarnwick::PayloadSliceDecoder decoder(key.data(), payload.size());
        while (!decoder.finished()) decoder.decodeSlice(payload.data(), text.data(), 65536);
        return decoder.text().length;
    };
    benchmark::DoNotOptimize(decode());
    const long faultsBefore = minorFaults();
    for (auto _ : state) {
        benchmark::DoNotOptimize(decode());
        benchmark::ClobberMemory();
    }
    state.counters["faults"] = benchmark::Counter(static_cast<double>(minorFaults() - faultsBefore),
                                                  benchmark::Counter::kAvgIterations);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(payload.size()));
}

// Text length of decrypted blocks: up to the first zero byte of each inner
// block, then up to the marker of the last (0 when it is missing).
std::size_t scanText(const std::uint8_t* plain, std::size_t size) {
    std::size_t text = 0;
    const std::size_t inner = size - 16;
    for (std::size_t offset = 0; offset < inner; offset += 16) {
#if defined(__SSE2__)
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(plain + offset));
        const unsigned zeros =
            static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(block, _mm_setzero_si128())));
        text += static_cast<unsigned>(__builtin_ctz(zeros | 0x10000u));
#else
        const void* zero = std::memchr(plain + offset, 0, 16);
        text += zero == nullptr ? 16 : static_cast<const std::uint8_t*>(zero) - (plain + offset);
#endif
    }
    const std::uint8_t* last = plain + inner;
    std::size_t marker = 15;
    while (marker > 0 && last[marker] == 0) --marker;
    return text + (last[marker] == 0x80 ? marker : 0);
}

void BM_OpenSsl(benchmark::State& state) {
    const auto payload = sealedPayload(static_cast<std::size_t>(state.range(0)));
    const auto key = modelKey();
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    if (ctx == nullptr ||
        EVP_DecryptInit_ex(ctx, EVP_aes_128_ecb(), nullptr, key.data(), nullptr) != 1 ||
        EVP_CIPHER_CTX_set_padding(ctx, 0) != 1) {
        std::abort();
    }
    std::vector<std::uint8_t> plain(payload.size() + 16);
    const auto decrypt = [&] {
        int length = 0;
        if (EVP_DecryptUpdate(ctx, plain.data(), &length, payload.data(),
                              static_cast<int>(payload.size())) != 1) {
            std::abort();
        }
        return scanText(plain.data(), payload.size());
    };
    benchmark::DoNotOptimize(decrypt());
    const long faultsBefore = minorFaults();
    for (auto _ : state) {
        benchmark::DoNotOptimize(decrypt());
        benchmark::ClobberMemory();
    }
    state.counters["faults"] = benchmark::Counter(static_cast<double>(minorFaults() - faultsBefore),
                                                  benchmark::Counter::kAvgIterations);
    EVP_CIPHER_CTX_free(ctx);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(payload.size()));
}

constexpr std::int64_t k64KiB = 64 << 10;
constexpr std::int64_t k8MiB = 8 << 20;

BENCHMARK(BM_Decode)->Arg(k64KiB)->Arg(k8MiB);
BENCHMARK(BM_DecodeInto)->Arg(k64KiB)->Arg(k8MiB);
BENCHMARK(BM_DecodeHardware)->Arg(k64KiB)->Arg(k8MiB);
BENCHMARK(BM_DecodeTable)->Arg(k64KiB)->Arg(k8MiB);
BENCHMARK(BM_DecodeFreshPages)->Arg(k8MiB);
BENCHMARK(BM_OpenSsl)->Arg(k64KiB)->Arg(k8MiB);

}  // namespace

int main(int argc, char** argv) {
    // Fixed thresholds also turn off glibc's adaptive ones.
    mallopt(M_MMAP_THRESHOLD, kHeapMmapThreshold);
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

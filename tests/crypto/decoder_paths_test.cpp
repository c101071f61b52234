// Which block loop the decoder runs, and the hardware loop (AES-NI, or the
// ARMv8 AES instructions) against the table loop: on every payload both must
// give the same result.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "decoders.h"
#include "payload_fixtures.h"

#if defined(__aarch64__) && defined(__linux__)
#include <sys/auxv.h>
#ifndef HWCAP_AES
#define HWCAP_AES (1UL << 3)
#endif
#endif

namespace tarnwick {
namespace {

#if defined(__aarch64__) && defined(__linux__)
// On ARM the kernel hands each process its CPU features in the auxiliary
// vector; /proc/cpuinfo may describe another machine (qemu's user mode shows
// the host's).
bool cpuHasAesInstructions(std::string&) { return (getauxval(AT_HWCAP) & HWCAP_AES) != 0; }
#else
// The CPU feature flags the kernel reports, each between spaces; empty where
// there is no /proc/cpuinfo.
std::string cpuFlags() {
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    while (std::getline(cpuinfo, line)) {
        if (line.rfind("flags", 0) == 0) {
            std::istringstream words(line.substr(line.find(':') + 1));
            std::string flags = " ";
            for (std::string word; words >> word;) flags += word + " ";
            return flags;
        }
    }
    return "";
}

// x86: AES-NI and SSE2 in /proc/cpuinfo; `skip` says why there is no answer.
bool cpuHasAesInstructions(std::string& skip) {
    const std::string flags = cpuFlags();
    if (flags.empty()) skip = "no CPU flags in /proc/cpuinfo";
    return flags.find(" aes ") != std::string::npos && flags.find(" sse2 ") != std::string::npos;
}
#endif

TEST(DecoderDispatchTest, UsesTheAesInstructionsExactlyWhenTheCpuHasThem) {
    std::string skip;
    const bool cpuHasAes = cpuHasAesInstructions(skip);
    if (!skip.empty()) GTEST_SKIP() << skip;
    EXPECT_EQ(detail::hardwareAesAvailable(), cpuHasAes);

    // Both entry points, the keyed one and the library's own.
    const auto key = tarnwick_test::buildKey();
    const tarnwick_test::EncryptedCase& sealed = tarnwick_test::kEncryptedCases[0];
    const unsigned long hardwareBefore = detail::decoderPathCounts.hardware;
    const unsigned long portableBefore = detail::decoderPathCounts.portable;
    decodePayload(key.data(), sealed.ciphertext, sealed.size);
    decodeModelPayload(sealed.ciphertext, sealed.size);
    EXPECT_EQ(detail::decoderPathCounts.hardware - hardwareBefore, cpuHasAes ? 2u : 0u);
    EXPECT_EQ(detail::decoderPathCounts.portable - portableBefore, cpuHasAes ? 0u : 2u);
}

#if TARNWICK_HAVE_AESNI_DECODER
// The detector reads CPUID leaf 1: AES-NI is ECX bit 25 and SSE2 EDX bit 26.
// Their neighbours must not count: ECX bit 1 is PCLMULQDQ, which every CPU
// with AES-NI also has, so the check against /proc/cpuinfo above cannot tell
// the two apart.
TEST(DecoderDispatchTest, ReadsAesNiFromEcxBit25AndSse2FromEdxBit26) {
    const std::uint32_t aes = 1u << 25;
    const std::uint32_t sse2 = 1u << 26;
    const std::uint32_t pclmulqdq = 1u << 1;
    EXPECT_TRUE(detail::cpuidAnnouncesAesNi(aes, sse2));
    EXPECT_TRUE(detail::cpuidAnnouncesAesNi(aes | pclmulqdq, sse2));
    EXPECT_FALSE(detail::cpuidAnnouncesAesNi(pclmulqdq, sse2));
    EXPECT_FALSE(detail::cpuidAnnouncesAesNi(~aes, 0xFFFFFFFFu));
    EXPECT_FALSE(detail::cpuidAnnouncesAesNi(0xFFFFFFFFu, ~sse2));
}
#endif

class DecoderPathsTest : public testing::Test {
protected:
    void SetUp() override {
        if (!detail::hardwareAesAvailable()) GTEST_SKIP() << "no AES instructions on this CPU";
        // Blocks of known plaintext are only at hand when the fixtures were
        // made with this build's key; random blocks serve either way.
        haveSamples_ = std::string(tarnwick_test::kFixtureKeyHex) == TARNWICK_EFFECTIVE_MODEL_KEY;
        for (std::size_t i = 0; i < tarnwick_test::kSampleCount; ++i) {
            const std::uint8_t* plain = tarnwick_test::kSamplePlain + 16 * i;
            if (std::find(plain, plain + 16, 0) == plain + 16) wholeTextSamples_.push_back(i);
        }
        ASSERT_FALSE(wholeTextSamples_.empty());
    }

    void appendSample(std::vector<std::uint8_t>& payload, std::size_t sample) {
        const std::uint8_t* b = tarnwick_test::kSampleCipher + 16 * sample;
        payload.insert(payload.end(), b, b + 16);
    }

    // In text-like payloads nearly every block is whole text, so that runs of
    // eight blocks without a zero byte are common.
    void appendBlock(std::vector<std::uint8_t>& payload, bool textLike) {
        if (!haveSamples_ || rng_() % 4 == 0) {
            appendRandomBytes(payload, 16);
        } else if (textLike && rng_() % 16 != 0) {
            appendSample(payload, wholeTextSamples_[rng_() % wholeTextSamples_.size()]);
        } else {
            appendSample(payload, rng_() % tarnwick_test::kSampleCount);
        }
    }

    void appendRandomBytes(std::vector<std::uint8_t>& payload, std::size_t count) {
        for (std::size_t i = 0; i < count; ++i)
            payload.push_back(static_cast<std::uint8_t>(rng_()));
    }

    // Mostly short payloads, some spanning several eight-block groups and
    // growth windows; a few with a partial block at the end.
    std::vector<std::uint8_t> randomPayload() {
        const std::uint32_t pick = rng_() % 10;
        const std::size_t blocks = pick < 6 ? rng_() % 20 : pick < 9 ? rng_() % 300 : rng_() % 1200;
        const bool textLike = rng_() % 2 == 0;
        std::vector<std::uint8_t> payload;
        for (std::size_t i = 0; i < blocks; ++i) appendBlock(payload, textLike);
        if (rng_() % 10 == 0) appendRandomBytes(payload, 1 + rng_() % 15);
        return payload;
    }

    std::mt19937 rng_{12345};
    bool haveSamples_ = false;
    std::vector<std::size_t> wholeTextSamples_;
};

TEST_F(DecoderPathsTest, SameResultOnRandomPayloads) {
    const auto key = tarnwick_test::buildKey();
    int badPadding = 0;
    int goodPadding = 0;
    int cut = 0;
    for (int n = 0; n < 1000; ++n) {
        const auto payload = randomPayload();
        const DecodedPayload portable =
            detail::decodePayloadPortable(key.data(), payload.data(), payload.size());
        const DecodedPayload hardware =
            detail::decodePayloadHardware(key.data(), payload.data(), payload.size());
        ASSERT_EQ(hardware.plaintext, portable.plaintext)
            << "payload #" << n << " of " << payload.size() << " bytes";
        ASSERT_EQ(hardware.status, portable.status) << "payload #" << n;
        ASSERT_EQ(hardware.firstZero, portable.firstZero) << "payload #" << n;
        badPadding += portable.status == PayloadStatus::kPaddingMissing;
        goodPadding += portable.status == PayloadStatus::kDecoded;
        cut += portable.firstZero != kNoZeroByte;
    }
    // The mix must exercise every outcome, or the comparison says little.
    EXPECT_GT(badPadding, 100);
    EXPECT_GT(cut, 100);
    if (haveSamples_) {
        EXPECT_GT(goodPadding, 100);
    }
}

// The slice decoder, with either loop and slices of any size, gives what one
// decode gives, writes nothing past payloadTextCapacity, and keeps no
// pointer between slices: both buffers move after every slice, as arrays in
// a garbage-collected heap may.
TEST_F(DecoderPathsTest, SlicesGiveTheWholeResultWithinTheRoomWhereverTheBuffersMove) {
    const auto key = tarnwick_test::buildKey();
    constexpr std::uint8_t kGuard = 0xA5;
    constexpr std::size_t kGuardBytes = 32;
    for (int n = 0; n < 300; ++n) {
        const auto payload = randomPayload();
        const DecodedPayload whole =
            detail::decodePayloadPortable(key.data(), payload.data(), payload.size());
        const std::size_t room = payloadTextCapacity(payload.size());
        for (bool hardware : {false, true}) {
            for (std::uint32_t slice : {1u, 7u, 8u, 9u, 64u, 0u}) {
                PayloadSliceDecoder decoder(key.data(), payload.size(), hardware);
                std::vector<std::uint8_t> in = payload;
                std::vector<std::uint8_t> out(room + kGuardBytes, kGuard);
                while (!decoder.finished()) {
                    decoder.decodeSlice(in.data(), out.data(), slice);
                    std::vector<std::uint8_t> movedIn = in;
                    std::vector<std::uint8_t> movedOut = out;
                    std::fill(in.begin(), in.end(), 0);
                    std::fill(out.begin(), out.end(), 0);
                    in.swap(movedIn);
                    out.swap(movedOut);
                }
                const PayloadText& text = decoder.text();
                const std::string where = "payload #" + std::to_string(n) + ", hardware " +
                                          std::to_string(hardware) + ", slice " +
                                          std::to_string(slice);
                ASSERT_LE(text.length, room) << where;
                ASSERT_EQ(std::vector<std::uint8_t>(out.begin(), out.begin() + text.length),
                          whole.plaintext)
                    << where;
                ASSERT_EQ(text.status, whole.status) << where;
                ASSERT_EQ(text.firstZero, whole.firstZero) << where;
                ASSERT_TRUE(std::all_of(out.begin() + room, out.end(),
                                        [](std::uint8_t b) { return b == kGuard; }))
                    << where << ": written past the room";
            }
        }
        // The one-call form is the same decode.
        std::vector<std::uint8_t> out(room + kGuardBytes, kGuard);
        const PayloadText text = decodePayloadInto(key.data(), payload.data(), payload.size(), out.data());
        ASSERT_EQ(std::vector<std::uint8_t>(out.begin(), out.begin() + text.length), whole.plaintext);
        ASSERT_EQ(text.firstZero, whole.firstZero);
    }
}

}  // namespace
}  // namespace tarnwick

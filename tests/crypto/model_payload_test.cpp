// The model payload decoder on payloads that OpenSSL encrypted under the
// model key (see payload_cases.h and payload_fixture_gen.cpp): every block
// loop through decodePayload, and decodeModelPayload with the diagnostic line
// it prints read back from standard output.
#include "model_payload.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "decoders.h"
#include "payload_cases.h"
#include "payload_fixtures.h"
#include "test_util.h"

namespace tarnwick {
namespace {

using tarnwick_test::Decoder;
using tarnwick_test::EncryptedCase;
using tarnwick_test::toBytes;

constexpr char kDiagnostic[] = "Padding error: 0x80 not found.\n";

struct Printed {
    std::vector<std::uint8_t> plaintext;
    std::string output;  // what the call wrote to standard output
};

Printed decodeCapturingStdout(const std::uint8_t* data, std::size_t size) {
    testing::internal::CaptureStdout();
    Printed printed;
    printed.plaintext = decodeModelPayload(data, size);
    printed.output = testing::internal::GetCapturedStdout();
    return printed;
}

Printed decodeCapturingStdout(const std::vector<std::uint8_t>& data) {
    return decodeCapturingStdout(data.data(), data.size());
}

class EncryptedPayloadTest : public testing::Test {
protected:
    void SetUp() override {
        // The committed fixtures (used where OpenSSL is not available at build
        // time) are sealed with the development key.
        if (std::string(tarnwick_test::kFixtureKeyHex) != TARNWICK_EFFECTIVE_MODEL_KEY) {
            GTEST_SKIP() << "fixtures were made for another model key";
        }
    }

    static const EncryptedCase& fixture(const char* name) {
        for (const EncryptedCase& c : tarnwick_test::kEncryptedCases) {
            if (std::strcmp(c.name, name) == 0) return c;
        }
        throw std::runtime_error(std::string("no fixture named ") + name);
    }

    static std::vector<std::uint8_t> cipherBlocks(const char* name, std::size_t first,
                                                  std::size_t count) {
        const EncryptedCase& c = fixture(name);
        if ((first + count) * 16 > c.size) throw std::out_of_range(name);
        return std::vector<std::uint8_t>(c.ciphertext + first * 16,
                                         c.ciphertext + (first + count) * 16);
    }
};

TEST_F(EncryptedPayloadTest, DecodesEveryCase) {
    const auto key = tarnwick_test::buildKey();
    for (const auto& expected : tarnwick_test::payloadCases()) {
        SCOPED_TRACE(expected.name);
        const EncryptedCase& c = fixture(expected.name);
        ASSERT_EQ(std::string(reinterpret_cast<const char*>(c.plaintext), c.size),
                  expected.plaintext)
            << "the fixtures are older than payload_cases.h";

        for (const Decoder& decoder : tarnwick_test::decoders()) {
            SCOPED_TRACE(decoder.name);
            const DecodedPayload decoded = decoder.decode(key.data(), c.ciphertext, c.size);
            EXPECT_EQ(decoded.plaintext, toBytes(expected.expected));
            EXPECT_EQ(decoded.status, expected.paddingError ? PayloadStatus::kPaddingMissing
                                                            : PayloadStatus::kDecoded);
            EXPECT_EQ(decoded.firstZero, expected.firstZero == tarnwick_test::kNone
                                             ? kNoZeroByte
                                             : static_cast<std::size_t>(expected.firstZero));
        }
        // The built-in key, and the diagnostic exactly when the marker is missing.
        const Printed printed = decodeCapturingStdout(c.ciphertext, c.size);
        EXPECT_EQ(printed.plaintext, toBytes(expected.expected));
        EXPECT_EQ(printed.output, expected.paddingError ? kDiagnostic : "");
    }
}

TEST_F(EncryptedPayloadTest, LastWholeBlockIsTheOneCheckedForPadding) {
    // Without its final block, the payload ends in the inner block "short"
    // and zeros, which lacks the marker.
    const auto payload = cipherBlocks("several_inner_blocks", 0, 2);
    const Printed printed = decodeCapturingStdout(payload);
    EXPECT_EQ(printed.plaintext, toBytes("0123456789abcdef"));
    EXPECT_EQ(printed.output, kDiagnostic);
}

TEST_F(EncryptedPayloadTest, LongPayloadKeepsEveryInnerBlock) {
    // Blocks of several_inner_blocks: full text, "short", leading zero, end.
    const auto full = cipherBlocks("several_inner_blocks", 0, 1);
    const auto shortText = cipherBlocks("several_inner_blocks", 1, 1);
    const auto hidden = cipherBlocks("several_inner_blocks", 2, 1);
    const auto last = cipherBlocks("several_inner_blocks", 4, 1);
    std::vector<std::uint8_t> payload;
    std::string expected;
    for (int i = 0; i < 100; ++i) {
        payload.insert(payload.end(), full.begin(), full.end());
        expected += "0123456789abcdef";
    }
    for (int i = 0; i < 500; ++i) {
        for (const auto* b : {&full, &shortText, &hidden}) {
            payload.insert(payload.end(), b->begin(), b->end());
        }
        expected += "0123456789abcdefshort";
    }
    payload.insert(payload.end(), last.begin(), last.end());
    expected += "end";

    const auto key = tarnwick_test::buildKey();
    for (const Decoder& decoder : tarnwick_test::decoders()) {
        SCOPED_TRACE(decoder.name);
        const DecodedPayload decoded = decoder.decode(key.data(), payload.data(), payload.size());
        EXPECT_EQ(decoded.plaintext, toBytes(expected));
        EXPECT_EQ(decoded.status, PayloadStatus::kDecoded);
        // The first "short" block, after 101 whole ones.
        EXPECT_EQ(decoded.firstZero, 101u * 16 + 5);
        // One allocation of size - 1 bytes, the most the text can take,
        // reserved up front and never grown.
        EXPECT_EQ(decoded.plaintext.capacity(), payload.size() - 1);
    }
}

TEST_F(EncryptedPayloadTest, EachBadPayloadReportsOnce) {
    const EncryptedCase& c = fixture("last_block_all_zero");
    testing::internal::CaptureStdout();
    decodeModelPayload(c.ciphertext, c.size);
    decodeModelPayload(c.ciphertext, c.size);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), std::string(kDiagnostic) + kDiagnostic);
}

#ifndef _WIN32
// The line must reach file descriptor 1 during the call, not sit in stdio's
// buffer (fully buffered when stdout is a pipe, as under ctest or a launcher
// that collects the game's output).
TEST_F(EncryptedPayloadTest, DiagnosticIsFlushedBeforeReturning) {
    const EncryptedCase& c = fixture("letter_then_zeros");
    std::fflush(stdout);
    std::FILE* sink = std::tmpfile();
    ASSERT_NE(sink, nullptr);
    const int savedStdout = dup(STDOUT_FILENO);
    ASSERT_GE(savedStdout, 0);
    ASSERT_GE(dup2(fileno(sink), STDOUT_FILENO), 0);

    decodeModelPayload(c.ciphertext, c.size);

    struct stat info {};
    fstat(fileno(sink), &info);
    std::string written(static_cast<std::size_t>(info.st_size), '\0');
    const ssize_t got = pread(fileno(sink), &written[0], written.size(), 0);
    std::fflush(stdout);
    dup2(savedStdout, STDOUT_FILENO);
    close(savedStdout);
    std::fclose(sink);
    EXPECT_EQ(got, static_cast<ssize_t>(written.size()));
    EXPECT_EQ(written, kDiagnostic);
}
#endif

TEST(ModelPayloadTest, EmptyAndPartialBlockSizesGiveNothing) {
    // Whatever the bytes, a payload that is not whole blocks is not decoded.
    std::vector<std::uint8_t> bytes(80);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 37);
    const auto key = tarnwick_test::buildKey();
    for (std::size_t size : {0u, 1u, 15u, 17u, 31u, 33u, 79u}) {
        const std::uint8_t* data = size == 0 ? nullptr : bytes.data();
        for (const Decoder& decoder : tarnwick_test::decoders()) {
            SCOPED_TRACE(std::string(decoder.name) + ", " + std::to_string(size) + " bytes");
            const DecodedPayload decoded = decoder.decode(key.data(), data, size);
            EXPECT_TRUE(decoded.plaintext.empty());
            EXPECT_EQ(decoded.status, PayloadStatus::kNotWholeBlocks);
        }
        const Printed printed = decodeCapturingStdout(data, size);
        EXPECT_TRUE(printed.plaintext.empty());
        EXPECT_EQ(printed.output, "") << size << " bytes";
    }
}

}  // namespace
}  // namespace tarnwick

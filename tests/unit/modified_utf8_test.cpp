#include "modified_utf8.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace tarnwick {
namespace {

std::string convert(const std::string& bytes) {
    std::string out;
    appendAsModifiedUtf8(out, reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    return out;
}

const std::string kReplacement = "\xef\xbf\xbd";

// True when `text` is well-formed modified UTF-8 without NUL: one- to
// three-byte forms only, complete, and not overlong.
bool isModifiedUtf8(const std::string& text) {
    for (std::size_t i = 0; i < text.size();) {
        unsigned char b = static_cast<unsigned char>(text[i]);
        int extra;
        if (b == 0) return false;
        if (b < 0x80)
            extra = 0;
        else if ((b & 0xE0) == 0xC0 && b >= 0xC2)
            extra = 1;
        else if ((b & 0xF0) == 0xE0)
            extra = 2;
        else
            return false;
        for (int k = 1; k <= extra; ++k) {
            if (i + k >= text.size()) return false;
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
        }
        if (extra == 2 && b == 0xE0 && static_cast<unsigned char>(text[i + 1]) < 0xA0) return false;
        i += extra + 1;
    }
    return true;
}

// The JDK's own encodings of the code points at the edges of each length:
// the UTF-8 in, the modified UTF-8 DataOutputStream.writeUTF writes, the code
// point (generated at build time by JdkModifiedUtf8.java).
struct JdkEncoding {
    const char* utf8;
    const char* modified;
    const char* codePoint;
};
const JdkEncoding kJdkEncodings[] = {
#include "jdk_modified_utf8.inc"
};

TEST(ModifiedUtf8, KeepsWellFormedTextUpToFourByteCharacters) {
    EXPECT_EQ("plain ASCII", convert("plain ASCII"));
    EXPECT_EQ("\xc3\xab \xe2\x9c\x93", convert("\xc3\xab \xe2\x9c\x93"));  // U+00EB U+2713
    EXPECT_EQ("\xef\xbf\xbf", convert("\xef\xbf\xbf"));                    // U+FFFF
    for (const JdkEncoding& jdk : kJdkEncodings) {
        EXPECT_EQ(jdk.modified, convert(jdk.utf8)) << jdk.codePoint;
    }
}

TEST(ModifiedUtf8, WritesSupplementaryCharactersAsSurrogatePairs) {
    // U+1F600 is D83D DE00 in UTF-16.
    EXPECT_EQ(
        "a\xed\xa0\xbd\xed\xb8\x80"
        "b",
        convert("a\xf0\x9f\x98\x80"
                "b"));
    // U+10000 and U+10FFFF, the ends of the range.
    EXPECT_EQ("\xed\xa0\x80\xed\xb0\x80", convert("\xf0\x90\x80\x80"));
    EXPECT_EQ("\xed\xaf\xbf\xed\xbf\xbf", convert("\xf4\x8f\xbf\xbf"));
}

TEST(ModifiedUtf8, StopsAtTheFirstZeroByte) {
    EXPECT_EQ("ab", convert(std::string("ab\0cd", 5)));
    EXPECT_EQ("", convert(std::string("\0ab", 3)));
    // A sequence cut short by the zero byte is malformed.
    EXPECT_EQ("a" + kReplacement, convert(std::string("a\xe2\x82\0", 4)));
}

TEST(ModifiedUtf8, ReplacesEachMalformedSequence) {
    // Lone continuation bytes and bytes that never start a sequence.
    EXPECT_EQ(kReplacement + kReplacement + "x", convert("\x80\xbf"
                                                         "x"));
    EXPECT_EQ(kReplacement + kReplacement + kReplacement, convert("\xc0\xc1\xff"));
    // Truncated sequences: one replacement for the maximal prefix, and the
    // byte that broke it is read again.
    EXPECT_EQ(kReplacement + "a", convert("\xe2\x82"
                                          "a"));
    EXPECT_EQ(kReplacement, convert("\xf0\x9f\x98"));
    EXPECT_EQ(kReplacement + "\xc3\xab", convert("\xe2\xc3\xab"));
    // Overlong forms.
    EXPECT_EQ(kReplacement + kReplacement, convert("\xc0\xaf"));
    EXPECT_EQ(kReplacement + kReplacement + kReplacement, convert("\xe0\x80\xaf"));
    EXPECT_EQ(kReplacement + kReplacement + kReplacement + kReplacement,
              convert("\xf0\x80\x80\xaf"));
    // Encoded surrogates and values above U+10FFFF.
    EXPECT_EQ(kReplacement + kReplacement + kReplacement, convert("\xed\xa0\x80"));
    EXPECT_EQ(kReplacement + kReplacement + kReplacement + kReplacement,
              convert("\xf4\x90\x80\x80"));
    EXPECT_EQ(kReplacement + kReplacement + kReplacement + kReplacement,
              convert("\xf5\x80\x80\x80"));
}

TEST(ModifiedUtf8, AnyInputBecomesWellFormedText) {
    // Every two-byte combination, and a sweep of longer random inputs.
    for (int a = 1; a < 256; ++a) {
        for (int b = 1; b < 256; ++b) {
            std::string bytes{static_cast<char>(a), static_cast<char>(b)};
            std::string out = convert(bytes);
            ASSERT_TRUE(isModifiedUtf8(out)) << a << " " << b;
        }
    }
    std::uint32_t seed = 12345;
    for (int round = 0; round < 2000; ++round) {
        std::string bytes;
        int length = 1 + round % 40;
        for (int i = 0; i < length; ++i) {
            seed = seed * 1664525u + 1013904223u;
            bytes.push_back(static_cast<char>(0x01 + (seed >> 24) % 255));
        }
        ASSERT_TRUE(isModifiedUtf8(convert(bytes))) << round;
    }
}

}  // namespace
}  // namespace tarnwick

// Plaintexts for the decoder tests. payload_fixture_gen encrypts each one
// with OpenSSL (AES-128-ECB, no padding) under the model key, and the tests
// decode the result and compare it with `expected`.
#ifndef TARNWICK_TESTS_CRYPTO_PAYLOAD_CASES_H
#define TARNWICK_TESTS_CRYPTO_PAYLOAD_CASES_H

#include <cstddef>
#include <string>
#include <vector>

namespace tarnwick_test {

constexpr int kNone = -1;

struct PayloadCase {
    const char* name;
    std::string plaintext;  // raw decrypted blocks, a multiple of 16 bytes
    std::string expected;   // what the decoder must return
    bool paddingError;      // whether the last block lacks its marker
    int firstZero;          // where the decoder must report the first zero byte, or kNone
};

// `head` followed by zero bytes up to a whole block.
inline std::string block(std::string head) {
    head.resize(16, '\0');
    return head;
}

inline const std::vector<PayloadCase>& payloadCases() {
    using namespace std::string_literals;
    static const std::vector<PayloadCase> cases = {
        {"marker_after_text", block("{}\x80"s), "{}", false, kNone},
        {"marker_in_last_byte", "fifteen bytes!!\x80"s, "fifteen bytes!!", false, kNone},
        {"last_block_only_padding", "sixteen bytes!!!"s + block("\x80"s), "sixteen bytes!!!", false,
         kNone},
        {"zeros_before_marker_stay", block("a\0\0b\x80"s), "a\0\0b"s, false, 1},
        {"inner_block_stops_at_zero", block("ab"s) + block("\x80"s), "ab", false, 2},
        {"inner_block_ignores_bytes_after_zero", "ab\0cdefghijklmno"s + block("pq\x80"s), "abpq",
         false, 2},
        {"inner_block_starting_with_zero", "\0bcdefghijklmnop"s + block("x\x80"s), "x", false, 0},
        {"inner_block_zero_only_in_last_byte", "0123456789abcde\0"s + block("z\x80"s),
         "0123456789abcdez", false, 15},
        {"inner_block_keeps_0x80", block("a\x80z"s) + block("\x80"s), "a\x80z", false, 3},
        {"several_inner_blocks",
         "0123456789abcdef"s + block("short"s) + "\0"s + "hidden text...."s + "ABCDEFGHIJKLMNOP"s +
             block("end\x80"s),
         "0123456789abcdefshortABCDEFGHIJKLMNOPend", false, 21},
        {"last_byte_not_marker", block("kept"s) + "tail\x80\0\0\0\0\0\0\0\0\0\0z"s, "kept", true,
         4},
        {"last_block_all_zero", block("kept"s) + block(""s), "kept", true, 4},
        {"single_block_all_zero", block(""s), "", true, kNone},
        {"last_block_zero_in_first_byte", "\0bcdefghijklmno\x80"s, "\0bcdefghijklmno"s, false, 0},
        {"last_block_zero_just_before_marker", "0123456789abcdef"s + "abcdefghijklmn\0\x80"s,
         "0123456789abcdefabcdefghijklmn\0"s, false, 30},
        {"marker_then_nonzero", block("kept"s) + block("\x80q"s), "kept", true, 4},
        {"letter_then_zeros", block("q"s), "", true, kNone},
    };
    return cases;
}

// Single plaintext blocks to assemble payloads from: the first zero byte at
// every position (and none), and last blocks with the marker at every
// position, zero bytes before it, or no valid marker at all.
inline const std::vector<std::string>& blockSamples() {
    static const std::vector<std::string> samples = [] {
        using namespace std::string_literals;
        std::vector<std::string> all;
        const std::string text = "ABCDEFGHIJKLMNOP";
        for (std::size_t zeroAt = 0; zeroAt <= 16; ++zeroAt) {
            std::string b = text;
            if (zeroAt < 16) b[zeroAt] = '\0';
            all.push_back(b);
        }
        for (std::size_t markerAt = 0; markerAt < 16; ++markerAt) {
            all.push_back(block(text.substr(0, markerAt) + "\x80"s));
        }
        all.push_back(block("a\0\0b\x80"s));
        all.push_back(block(""s));
        all.push_back(block("q"s));
        all.push_back(block("\x80q"s));
        all.push_back("tail\x80\0\0\0\0\0\0\0\0\0\0z"s);
        all.push_back("\x80\x80\x80\x80\x80\x80\x80\x80\x80\x80\x80\x80\x80\x80\x80\x80"s);
        return all;
    }();
    return samples;
}

}  // namespace tarnwick_test

#endif

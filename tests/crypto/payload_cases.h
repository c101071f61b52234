// Plaintexts for the decoder tests. payload_fixture_gen encrypts each one
// with OpenSSL (AES-128-ECB, no padding) under the model key, and the tests
// decode the result and compare it with `expected`.
#ifndef TARNWICK_TESTS_CRYPTO_PAYLOAD_CASES_H
#define TARNWICK_TESTS_CRYPTO_PAYLOAD_CASES_H

#include <string>
#include <vector>

namespace tarnwick_test {

struct PayloadCase {
    const char* name;
    std::string plaintext;  // raw decrypted blocks, a multiple of 16 bytes
    std::string expected;   // what the decoder must return
    bool paddingError;      // whether the diagnostic line is due
};

// `head` followed by zero bytes up to a whole block.
inline std::string block(std::string head) {
    head.resize(16, '\0');
    return head;
}

inline const std::vector<PayloadCase>& payloadCases() {
    using namespace std::string_literals;
    static const std::vector<PayloadCase> cases = {
        {"marker_after_text", block("{}\x80"s), "{}", false},
        {"marker_in_last_byte", "fifteen bytes!!\x80"s, "fifteen bytes!!", false},
        {"last_block_only_padding", "sixteen bytes!!!"s + block("\x80"s), "sixteen bytes!!!",
         false},
        {"zeros_before_marker_stay", block("a\0\0b\x80"s), "a\0\0b"s, false},
        {"inner_block_stops_at_zero", block("ab"s) + block("\x80"s), "ab", false},
        {"inner_block_ignores_bytes_after_zero", "ab\0cdefghijklmno"s + block("pq\x80"s), "abpq",
         false},
        {"inner_block_starting_with_zero", "\0bcdefghijklmnop"s + block("x\x80"s), "x", false},
        {"inner_block_keeps_0x80", block("a\x80z"s) + block("\x80"s), "a\x80z", false},
        {"several_inner_blocks",
         "0123456789abcdef"s + block("short"s) + "\0"s + "hidden text...."s + "ABCDEFGHIJKLMNOP"s +
             block("end\x80"s),
         "0123456789abcdefshortABCDEFGHIJKLMNOPend", false},
        {"last_byte_not_marker", block("kept"s) + "tail\x80\0\0\0\0\0\0\0\0\0\0z"s, "kept", true},
        {"last_block_all_zero", block("kept"s) + block(""s), "kept", true},
        {"marker_then_nonzero", block("kept"s) + block("\x80q"s), "kept", true},
        {"letter_then_zeros", block("q"s), "", true},
    };
    return cases;
}

}  // namespace tarnwick_test

#endif

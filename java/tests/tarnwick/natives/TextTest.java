package tarnwick.natives;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;

import java.nio.charset.StandardCharsets;
import java.security.MessageDigest;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Random;
import java.util.regex.Pattern;
import org.junit.jupiter.api.Test;

/**
 * The hand-written matchers the extractor uses at start-up give what the
 * regular expressions they stand for give, on names that sit at each edge of
 * those expressions, and on every short name over the characters that matter.
 */
class TextTest {
    /** Names at the edges: empty parts, one digit, the wrong case, a character too many. */
    private static final List<String> NAMES = List.of("", "-", "a", "0", "libtarnwick.so",
            "tarnwick.dll", "libtarnwick.so.1.part", "libtarnwick.so..part",
            "libtarnwick.so.12a.part", "tarnwick.dll.00.part", "libtarnwick.so.1.part.",
            "xlibtarnwick.so.1.part", "libtarnwick.1.so", "libtarnwick..so", "tarnwick.7.dll",
            "tarnwick.7.so", "libtarnwick.7.dll", "libtarnwick.7.sox", "tarnwick.1.2.dll",
            "libtarnwick.so.part", "libtarnwick.so.1.so", "tarnwick.dll.1.dll", "LIBTARNWICK.1.SO",
            "0.1.0-dev-e8cce64a0389", "0.1.0-e8cce64a0389", "-e8cce64a0389", "e8cce64a0389",
            "x-e8cce64a038", "x-e8cce64a03899", "x-E8CCE64A0389", "x_e8cce64a0389",
            "1.0+b-aaaaaaaaaaaa", "1 0-aaaaaaaaaaaa", "1/0-aaaaaaaaaaaa", "é-aaaaaaaaaaaa",
            "--aaaaaaaaaaaa", "a-aaaaaaaaaaaa-", "0123456789abcdef", "0123456789ABCDEF");

    @Test
    void eachMatcherAgreesWithItsRegularExpression() {
        Pattern versionFolder = Pattern.compile("[0-9A-Za-z._+-]+-[0-9a-f]{12}");
        Pattern version = Pattern.compile("[0-9A-Za-z._+-]+");
        Pattern hex16 = Pattern.compile("[0-9a-f]{16}");
        Pattern hex12 = Pattern.compile("[0-9a-f]{12}");
        Pattern ours = Pattern.compile("(libtarnwick\\.so|tarnwick\\.dll)\\.[0-9]+\\.part"
                + "|(libtarnwick|tarnwick)\\.[0-9]+\\.(so|dll)");
        Pattern oursAndLibraries =
                Pattern.compile(ours.pattern() + "|libtarnwick\\.so|tarnwick\\.dll");
        List<String> names = new ArrayList<>(NAMES);
        // Every name of up to four characters over a small alphabet, and each
        // with a library's stem in front and an ending behind.
        String alphabet = "0a9-.F";
        for (String word : words(alphabet, 4)) {
            names.add(word);
            names.add(word + "-aaaaaaaaaaaa");
            names.add("libtarnwick." + word + ".so");
            names.add("tarnwick.dll." + word + ".part");
        }
        for (String name : names) {
            assertEquals(versionFolder.matcher(name).matches(), Installer.isVersionFolder(name),
                    () -> "version folder: \"" + name + "\"");
            assertEquals(version.matcher(name).matches(), Text.isVersion(name),
                    () -> "version: \"" + name + "\"");
            assertEquals(hex16.matcher(name).matches(), Text.isHex(name, 16),
                    () -> "16 hex digits: \"" + name + "\"");
            assertEquals(hex12.matcher(name).matches(), Text.isHex(name, 12),
                    () -> "12 hex digits: \"" + name + "\"");
            assertEquals(ours.matcher(name).matches(), Installer.isOurs(name, false),
                    () -> "a file of ours: \"" + name + "\"");
            assertEquals(oursAndLibraries.matcher(name).matches(), Installer.isOurs(name, true),
                    () -> "a file of ours, libraries too: \"" + name + "\"");
        }
    }

    /**
     * The plain-Java SHA-256: the standard's own examples (FIPS 180-4 /
     * NIST's "abc", the empty message, the 448-bit two-block one and a million
     * "a"s), then MessageDigest on every length around the padding's edges
     * (55, 56, 63, 64 bytes of one block and the next) and on random data.
     */
    @Test
    void sha256IsTheStandardsAndMessageDigests() throws Exception {
        assertEquals("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad",
                NativeLibraryExtractor.sha256("abc".getBytes(StandardCharsets.US_ASCII)));
        assertEquals("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855",
                NativeLibraryExtractor.sha256(new byte[0]));
        assertEquals("248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1",
                NativeLibraryExtractor.sha256(
                        "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"
                                .getBytes(StandardCharsets.US_ASCII)));
        byte[] million = new byte[1_000_000];
        Arrays.fill(million, (byte) 'a');
        assertEquals("cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0",
                NativeLibraryExtractor.sha256(million));
        MessageDigest jdk = MessageDigest.getInstance("SHA-256");
        Random random = new Random(20261209);
        for (int length = 0; length <= 200; length++) {
            byte[] data = new byte[length];
            random.nextBytes(data);
            assertArrayEquals(jdk.digest(data), Sha256.digest(data), "length " + length);
        }
        byte[] large = new byte[150_001];
        random.nextBytes(large);
        assertArrayEquals(jdk.digest(large), Sha256.digest(large));
    }

    @Test
    void wordsSplitAsTheRegularExpressionDoes() {
        for (String line : List.of("", "Uid:\t1000\t1000\t1000\t1000", "Uid: 0  0", "a",
                "a \u000b\f\r\n b", "Name:\tjava", "a\u0001b c", "a\u00a0b c")) {
            String trimmed = line.trim();
            assertArrayEquals(trimmed.split("\\s+"), Text.words(trimmed), () -> "\"" + line + "\"");
        }
    }

    private static List<String> words(String alphabet, int longest) {
        List<String> words = new ArrayList<>();
        words.add("");
        for (int start = 0, length = 1; length <= longest; length++) {
            int end = words.size();
            for (int i = start; i < end; i++) {
                for (char c : alphabet.toCharArray()) {
                    words.add(words.get(i) + c);
                }
            }
            start = end;
        }
        return words;
    }
}

package tarnwick.natives;

/**
 * The few checks the extractor makes on short ASCII texts (hashes, release
 * names, file names, the fields of {@code /proc/self/status}), written out by
 * hand: they run at every start of the game, often in a JVM that has not yet
 * set up {@code java.util.regex}, whose first use costs more than the whole
 * check. Each says which regular expression it stands for.
 */
final class Text {
    private Text() {}

    /** {@code [0-9a-f]{length}}: lower-case hex digits, exactly {@code length} of them. */
    static boolean isHex(String text, int length) {
        if (text.length() != length) {
            return false;
        }
        for (int i = 0; i < length; i++) {
            char c = text.charAt(i);
            if (!(c >= '0' && c <= '9' || c >= 'a' && c <= 'f')) {
                return false;
            }
        }
        return true;
    }

    /** {@code [0-9A-Za-z._+-]+}: a release name, never empty. */
    static boolean isVersion(String text) {
        if (text.isEmpty()) {
            return false;
        }
        for (int i = 0; i < text.length(); i++) {
            char c = text.charAt(i);
            if (!(c >= '0' && c <= '9' || c >= 'A' && c <= 'Z' || c >= 'a' && c <= 'z'
                    || c == '.' || c == '_' || c == '+' || c == '-')) {
                return false;
            }
        }
        return true;
    }

    /**
     * {@code [0-9]+} between {@code prefix} and {@code suffix}, which fill the
     * rest of {@code name}.
     */
    static boolean isNumbered(String name, String prefix, String suffix) {
        int end = name.length() - suffix.length();
        if (end <= prefix.length() || !name.startsWith(prefix) || !name.endsWith(suffix)) {
            return false;
        }
        for (int i = prefix.length(); i < end; i++) {
            char c = name.charAt(i);
            if (c < '0' || c > '9') {
                return false;
            }
        }
        return true;
    }

    /**
     * {@code text.split("\\s+")} for a text that {@link String#trim()} left
     * as it is: the words between runs of white space ({@code [ \t\n\x0B\f\r]}),
     * and a single empty word for an empty text.
     */
    static String[] words(String text) {
        java.util.List<String> words = new java.util.ArrayList<>();
        int start = 0;
        for (int i = 0; i <= text.length(); i++) {
            if (i == text.length() || isSpace(text.charAt(i))) {
                if (i > start || words.isEmpty() && i == text.length()) {
                    words.add(text.substring(start, i));
                }
                start = i + 1;
            }
        }
        return words.toArray(new String[0]);
    }

    private static boolean isSpace(char c) {
        return c == ' ' || c == '\t' || c == '\n' || c == 0x0b || c == '\f' || c == '\r';
    }
}

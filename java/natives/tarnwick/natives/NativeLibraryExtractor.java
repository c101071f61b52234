package tarnwick.natives;

import java.io.IOException;
import java.io.InputStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.AtomicMoveNotSupportedException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.StandardCopyOption;
import java.security.MessageDigest;
import java.security.NoSuchAlgorithmException;
import java.util.ArrayList;
import java.util.List;
import java.util.Locale;

/**
 * Finds tarnwick's native library for this platform in the natives jar, copies
 * it to disk once and hands back the verified path.
 *
 * <p>The jar holds {@code natives/<platform>/<library>} with the SHA-256 of the
 * library in {@code <library>.sha256} beside it, and the release in
 * {@code natives/tarnwick.version}. The copy goes to
 * {@code <directory>/tarnwick-natives/<version>-<first 12 hex digits of the hash>/},
 * under the directory the caller names (the game directory) or, when that cannot
 * be written, under the user's temporary directory. A copy already there is used
 * when its hash matches and replaced when it does not. A new copy is written to a
 * temporary file in the same directory and then put into place whole (hard-linked
 * where no copy is yet, so that of two game instances starting together the
 * first one wins and the other uses its copy; moved over a copy that does not
 * match), so no instance sees a half-written library, and an instance that has
 * the library loaded keeps its file.
 *
 * <p>The path is only returned after the file on disk has been hashed again.
 * Loading is left to the caller on purpose: {@code System.load} binds the library
 * to the class loader of the class that calls it, and the JVM looks native
 * methods up through that loader. So the class that declares the native methods
 * loads it itself:
 *
 * <pre>{@code
 * static void loadNatives(Path gameDirectory) throws IOException {
 *     Path library = NativeLibraryExtractor.extract(gameDirectory);
 *     try {
 *         System.load(library.toString());
 *     } catch (UnsatisfiedLinkError e) {
 *         throw NativeLibraryExtractor.explainLoadFailure(e, library);
 *     }
 * }
 * }</pre>
 *
 * Needs Java 11 and nothing else.
 */
public final class NativeLibraryExtractor {
    /** Where the jar keeps the libraries. */
    public static final String RESOURCE_ROOT = "natives/";

    private static final String[][] PLATFORMS = {
        {"linux-x86_64", "libtarnwick.so"},
        {"linux-aarch64", "libtarnwick.so"},
        {"windows-x86_64", "tarnwick.dll"},
    };

    private NativeLibraryExtractor() {}

    /**
     * Extracts the library for the running JVM's platform (from {@code os.name}
     * and {@code os.arch}) under {@code directory}, or under the user's temporary
     * directory when {@code directory} is null or cannot be written.
     *
     * @return the path of a file whose SHA-256 matches the one in the jar
     * @throws UnsupportedOperationException when no library fits this platform
     * @throws IOException when neither directory can hold a verified copy
     */
    public static Path extract(Path directory) throws IOException {
        return extract(directory, System.getProperty("os.name"), System.getProperty("os.arch"));
    }

    /** As {@link #extract(Path)}, for the platform the two property values name. */
    public static Path extract(Path directory, String osName, String osArch) throws IOException {
        String platform = platform(osName, osArch);
        String library = libraryName(platform);
        String resource = library == null ? null : RESOURCE_ROOT + platform + "/" + library;
        byte[] content = resource == null ? null : resourceBytes(resource);
        if (content == null) {
            throw new UnsupportedOperationException("tarnwick has no native library for os.name=\""
                    + osName + "\", os.arch=\"" + osArch + "\" (platform " + platform
                    + "; this class path holds: " + String.join(", ", availablePlatforms()) + ")");
        }
        String expected = expectedHash(resource);
        String actual = sha256(content);
        if (!actual.equals(expected)) {
            throw new IOException(resource + " in the jar does not match its .sha256 (" + actual
                    + ", expected " + expected + "): the jar is damaged");
        }
        String folder = version() + "-" + expected.substring(0, 12);

        List<Path> bases = new ArrayList<>();
        if (directory != null) {
            bases.add(directory);
        }
        bases.add(Paths.get(System.getProperty("java.io.tmpdir"),
                "tarnwick-" + System.getProperty("user.name", "user").replaceAll("[^A-Za-z0-9._-]", "_")));
        IOException failure = null;
        for (Path base : bases) {
            try {
                return install(base.resolve("tarnwick-natives").resolve(folder), library, content,
                        expected);
            } catch (IOException | SecurityException e) {
                IOException next = e instanceof IOException
                        ? (IOException) e : new IOException(e.toString(), e);
                if (failure == null) {
                    failure = next;
                } else {
                    failure.addSuppressed(next);
                }
            }
        }
        throw failure;
    }

    /**
     * The platform directory for an {@code os.name} and {@code os.arch} pair, such
     * as {@code linux-x86_64}, whether or not a jar carries it.
     */
    public static String platform(String osName, String osArch) {
        String name = osName == null ? "" : osName.toLowerCase(Locale.ROOT);
        String os = name.startsWith("windows") ? "windows"
                : name.startsWith("linux") ? "linux"
                : name.startsWith("mac") ? "macos"
                : name.replaceAll("[^a-z0-9]+", "");
        String arch = osArch == null ? "" : osArch.toLowerCase(Locale.ROOT);
        switch (arch) {
            case "amd64":
            case "x86_64":
            case "x86-64":
                arch = "x86_64";
                break;
            case "arm64":
            case "aarch64":
                arch = "aarch64";
                break;
            default:
                arch = arch.replaceAll("[^a-z0-9_]+", "");
        }
        return os + "-" + arch;
    }

    /**
     * Turns a failed {@code System.load} of an extracted library into an error
     * that names the file, its SHA-256 as it is on disk now, and the usual
     * causes (and, when the path is not plain ASCII, that one too). The
     * original error is the cause of the one returned.
     */
    public static UnsatisfiedLinkError explainLoadFailure(UnsatisfiedLinkError error, Path library) {
        String hash;
        try {
            hash = Files.exists(library) ? sha256(Files.readAllBytes(library))
                    : "none, the file is gone";
        } catch (IOException e) {
            hash = "unreadable (" + e + ")";
        }
        UnsatisfiedLinkError explained = new UnsatisfiedLinkError("tarnwick could not load its"
                + " native library " + library + " (SHA-256 " + hash + "): " + error.getMessage()
                + ". Likely causes: an antivirus program quarantined or locked the file (allow"
                + " it, or the game directory); the library does not fit this JVM's architecture"
                + " (os.arch=" + System.getProperty("os.arch") + ", a 64-bit JVM is needed); the"
                + " directory is on a file system mounted noexec (move the game directory or"
                + " java.io.tmpdir elsewhere)"
                + (library.toString().chars().anyMatch(c -> c > 0x7e)
                        ? "; the path holds non-ASCII characters, which a JVM on Windows may not"
                          + " load a library from (use a game directory or java.io.tmpdir with a"
                          + " plain ASCII path)."
                        : "."));
        explained.initCause(error);
        return explained;
    }

    /** Puts a verified copy into {@code folder}, reusing one that is already there. */
    private static Path install(Path folder, String library, byte[] content, String expected)
            throws IOException {
        Path target = folder.resolve(library);
        if (hashOf(target).equals(expected)) {
            return target;
        }
        Files.createDirectories(folder);
        Path temporary = Files.createTempFile(folder, library + ".", ".part");
        try {
            Files.write(temporary, content);
            // Where no copy is yet, the first instance to link its file in
            // wins and the others use that one; a copy that does not match
            // is replaced.
            if (!linkUnlessPresent(temporary, target) && !hashOf(target).equals(expected)) {
                try {
                    Files.move(temporary, target, StandardCopyOption.ATOMIC_MOVE,
                            StandardCopyOption.REPLACE_EXISTING);
                } catch (AtomicMoveNotSupportedException e) {
                    Files.move(temporary, target, StandardCopyOption.REPLACE_EXISTING);
                } catch (IOException e) {
                    // On Windows a loaded DLL cannot be replaced. If another
                    // instance put a good copy there meanwhile, that one serves.
                    if (!hashOf(target).equals(expected)) {
                        throw e;
                    }
                }
            }
        } finally {
            Files.deleteIfExists(temporary);
        }
        String written = hashOf(target);
        if (!written.equals(expected)) {
            throw new IOException(target + " does not match the library in the jar after writing"
                    + " it (SHA-256 " + written + ", expected " + expected + ")");
        }
        return target;
    }

    /**
     * Makes {@code target} a second name of {@code file} unless something is
     * there already; the check and the link are one step. False when a file
     * was there or the file system has no hard links.
     */
    private static boolean linkUnlessPresent(Path file, Path target) {
        try {
            Files.createLink(target, file);
            return true;
        } catch (IOException | UnsupportedOperationException | SecurityException e) {
            return false;
        }
    }

    /** The file's SHA-256, or "" when there is no regular file. */
    private static String hashOf(Path file) throws IOException {
        return Files.isRegularFile(file) ? sha256(Files.readAllBytes(file)) : "";
    }

    private static String libraryName(String platform) {
        for (String[] known : PLATFORMS) {
            if (known[0].equals(platform)) {
                return known[1];
            }
        }
        return null;
    }

    private static List<String> availablePlatforms() throws IOException {
        List<String> found = new ArrayList<>();
        for (String[] known : PLATFORMS) {
            if (resourceBytes(RESOURCE_ROOT + known[0] + "/" + known[1]) != null) {
                found.add(known[0]);
            }
        }
        if (found.isEmpty()) {
            found.add("no tarnwick natives at all");
        }
        return found;
    }

    private static String expectedHash(String resource) throws IOException {
        byte[] text = resourceBytes(resource + ".sha256");
        if (text == null) {
            throw new IOException(resource + ".sha256 is missing from the jar");
        }
        String hash = new String(text, StandardCharsets.US_ASCII).trim().split("\\s+")[0];
        if (!hash.matches("[0-9a-f]{64}")) {
            throw new IOException(resource + ".sha256 holds no SHA-256: \"" + hash + "\"");
        }
        return hash;
    }

    private static String version() throws IOException {
        byte[] text = resourceBytes(RESOURCE_ROOT + "tarnwick.version");
        String version = text == null ? "" : new String(text, StandardCharsets.US_ASCII).trim();
        if (!version.matches("[0-9A-Za-z._+-]+")) {
            throw new IOException(RESOURCE_ROOT + "tarnwick.version is missing or malformed");
        }
        return version;
    }

    private static byte[] resourceBytes(String name) throws IOException {
        ClassLoader loader = NativeLibraryExtractor.class.getClassLoader();
        try (InputStream in = loader == null ? ClassLoader.getSystemResourceAsStream(name)
                                             : loader.getResourceAsStream(name)) {
            return in == null ? null : in.readAllBytes();
        }
    }

    private static String sha256(byte[] content) {
        try {
            byte[] digest = MessageDigest.getInstance("SHA-256").digest(content);
            StringBuilder hex = new StringBuilder(64);
            for (byte b : digest) {
                hex.append(Character.forDigit((b >> 4) & 0xf, 16))
                        .append(Character.forDigit(b & 0xf, 16));
            }
            return hex.toString();
        } catch (NoSuchAlgorithmException e) {
            throw new IllegalStateException("every JVM has SHA-256", e);
        }
    }
}

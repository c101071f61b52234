package tarnwick.natives;

import java.io.IOException;
import java.io.InputStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.FileSystem;
import java.nio.file.FileSystems;
import java.nio.file.Files;
import java.nio.file.InvalidPathException;
import java.nio.file.LinkOption;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.Locale;
import java.util.function.Consumer;

/**
 * Finds tarnwick's native library for this platform on the class path, copies
 * it to disk once and hands back the verified, absolute path.
 *
 * <p>The class path or module layer holds {@code natives/<platform>/<library>}
 * with the SHA-256 of the library in {@code <library>.sha256} and the release
 * in {@code tarnwick.version} beside it: in the jar with every platform, or in
 * one jar per platform. No package encapsulates these files (the platform's
 * directory name has a hyphen), so a named module needs no {@code opens} for
 * them; {@code Resources} says which lookups find them. The copy goes to
 * {@code <base>/tarnwick-natives/<version>-<first 12 hex digits of the hash>/}
 * ({@code Locations} says which bases are tried, in which order).
 *
 * <p>Nothing is reused or loaded from a place another user could have put
 * there or could change: every directory from the root down to the copy, and
 * the copy itself, must belong to this user or to the system, and nobody else
 * may write it; directories above the copy's folder may let others add
 * entries, but not remove or rename ours ({@code PosixChecks},
 * {@code WindowsChecks}). Directories it creates are this user's alone. A new
 * copy is written to a temporary file and put in place whole ({@code Installer});
 * right before the path is returned, the directories and the file are checked
 * again and the file is hashed again; as no other user can write them, the
 * file cannot be swapped between that check and {@code System.load}.
 *
 * <p>Loading is the caller's on purpose: {@code System.load} binds the
 * library to the class loader of the class that calls it, and the JVM looks
 * native methods up through that loader. So the class that declares the native
 * methods loads it itself, passing {@code library -> System.load(library)} to
 * {@link #load}, which
 * moves on to the next location when a copy does not load where it is (a file
 * system mounted {@code noexec}), and carries on without it where there is
 * none. A second class loader of the same JVM gets a copy of its own
 * ({@code Bindings}). Where the JVM restricts native access (Java 24 and later
 * with {@code --illegal-native-access=deny}), {@code System.load} throws
 * {@link IllegalCallerException}:
 *
 * <pre>{@code
 * static boolean loadNatives(Path gameDirectory) {
 *     if (!NativeLibraryExtractor.isSupported()) {
 *         return false;                      // no library for this platform
 *     }
 *     try {
 *         NativeLibraryExtractor.load(gameDirectory, library -> System.load(library));
 *         return true;
 *     } catch (IOException | UnsatisfiedLinkError | SecurityException
 *             | IllegalCallerException e) {
 *         log(e);                            // the message names each location and why
 *         return false;
 *     }
 * }
 * }</pre>
 *
 * Needs Java 11 and nothing else.
 */
public final class NativeLibraryExtractor {
    /** Where the jar keeps the libraries. */
    public static final String RESOURCE_ROOT = "natives/";

    /**
     * The system property that names a library installed outside the jar (by
     * the player or a system packager): when it is set, that file is checked
     * and used, and nothing is copied.
     */
    public static final String LIBRARY_PATH_PROPERTY = "tarnwick.library.path";

    private static final System.Logger LOG = System.getLogger("tarnwick.natives");

    private static final String[][] PLATFORMS = {
        {"linux-x86_64", "libtarnwick.so"},
        {"linux-aarch64", "libtarnwick.so"},
        {"windows-x86_64", "tarnwick.dll"},
    };

    /** Who called: the class loader the caller's System.load binds the library to. */
    private static final StackWalker CALLER =
            StackWalker.getInstance(StackWalker.Option.RETAIN_CLASS_REFERENCE);

    private NativeLibraryExtractor() {}

    /**
     * Whether this class path holds tarnwick's library for the running JVM's
     * platform, or {@link #LIBRARY_PATH_PROPERTY} names an installed one (which
     * {@link #extract(Path)} then checks). When neither holds (macOS, for one),
     * {@link #extract(Path)} throws {@link UnsatisfiedLinkError}; a mod checks
     * this first and goes on without the library.
     */
    public static boolean isSupported() {
        return System.getProperty(LIBRARY_PATH_PROPERTY) != null
                || isSupported(System.getProperty("os.name"), System.getProperty("os.arch"),
                        CALLER.getCallerClass());
    }

    /** As {@link #isSupported()}, for the platform the two property values name. */
    public static boolean isSupported(String osName, String osArch) {
        return isSupported(osName, osArch, CALLER.getCallerClass());
    }

    /**
     * True also when the mod loader serves none of the extractor's files at
     * all: whether the platform is supported cannot be told then, and
     * {@code extract} says what is wrong instead of "no library".
     */
    private static boolean isSupported(String osName, String osArch, Class<?> caller) {
        String platform = platform(osName, osArch);
        String library = libraryName(platform);
        if (library == null) {
            return false;
        }
        Resources resources = new Resources(NativeLibraryExtractor.class, caller);
        return resources.has(RESOURCE_ROOT + platform + "/" + library)
                || !resources.servesAnything();
    }

    /**
     * Extracts the library for the running JVM's platform (from {@code os.name}
     * and {@code os.arch}) under {@code directory}, or, when {@code directory} is
     * null or cannot hold a safe copy, under the user's cache or temporary
     * directory. Call it from the class that then loads the library: when this
     * JVM handed the file to a class loader other than that class's before, the
     * path is that of a verified copy of its own, since the JVM binds a library
     * file to one class loader.
     *
     * @return the absolute path of a file whose SHA-256 matches the one in the jar
     * @throws UnsatisfiedLinkError when no library fits this platform (see
     *     {@link #isSupported()})
     * @throws IOException when no location can hold a verified copy; the message
     *     names every location tried and why it failed
     */
    public static Path extract(Path directory) throws IOException {
        return extract(directory, System.getProperty("os.name"), System.getProperty("os.arch"),
                CALLER.getCallerClass());
    }

    /** As {@link #extract(Path)}, for the platform the two property values name. */
    public static Path extract(Path directory, String osName, String osArch) throws IOException {
        return extract(directory, osName, osArch, CALLER.getCallerClass());
    }

    /**
     * Extracts the library as {@link #extract(Path)} does and loads it with
     * {@code load}, which the mod's class passes as
     * {@code library -> System.load(library)} so
     * that the library belongs to that class's loader. When the copy does not
     * load from a location for a reason another location can avoid (a file
     * system mounted {@code noexec}), the next location is tried, with the
     * same checks, and the reason is logged. With {@link #LIBRARY_PATH_PROPERTY}
     * set, the library it names is checked and loaded instead, and nothing is
     * copied.
     *
     * @return the path of the library that loaded
     * @throws UnsatisfiedLinkError when no library fits this platform, or the
     *     load failed for a reason no location avoids (explained as by
     *     {@link #explainLoadFailure})
     * @throws IOException when no location can hold a verified copy that
     *     loads; the message names every location tried and why it failed
     */
    public static Path load(Path directory, Consumer<String> load) throws IOException {
        if (load == null) {
            throw new NullPointerException("load");
        }
        return extract(directory, System.getProperty("os.name"), System.getProperty("os.arch"),
                CALLER.getCallerClass(), load);
    }

    private static Path extract(Path directory, String osName, String osArch, Class<?> caller)
            throws IOException {
        return extract(directory, osName, osArch, caller, null);
    }

    private static Path extract(Path directory, String osName, String osArch, Class<?> caller,
            Consumer<String> load) throws IOException {
        String platform = platform(osName, osArch);
        String configured = System.getProperty(LIBRARY_PATH_PROPERTY);
        if (configured != null) {
            Path installed = installed(configured, platform, FileSystems.getDefault(),
                    PathChecks.forFileSystem(FileSystems.getDefault()));
            if (load != null) {
                try {
                    load.accept(installed.toString());
                } catch (UnsatisfiedLinkError e) {
                    if (!Locations.elsewhereMayLoad(e)) {
                        throw explainLoadFailure(e, installed);
                    }
                    UnsatisfiedLinkError refused = new UnsatisfiedLinkError("tarnwick could not"
                            + " load the installed library " + installed + " (" + e.getMessage()
                            + "): the file system it is on does not let code run from it, or a"
                            + " security policy refuses it there; install it where code may run,"
                            + " or leave " + LIBRARY_PATH_PROPERTY + " unset to use the jar's");
                    refused.initCause(e);
                    throw refused;
                }
            }
            return installed;
        }
        String library = libraryName(platform);
        String resource = library == null ? null : RESOURCE_ROOT + platform + "/" + library;
        Resources resources = new Resources(NativeLibraryExtractor.class, caller);
        byte[] content = resource == null ? null : resources.read(resource);
        if (content == null && !resources.servesAnything()) {
            throw new IOException("tarnwick cannot read the files shipped beside its extractor:"
                    + " none of " + resources.describe() + " answers, not even for the"
                    + " extractor's own class file, so whether this platform (" + platform
                    + ") has a library cannot be told. The mod loader must serve the jar's"
                    + " resources through one of these lookups");
        }
        if (content == null) {
            throw new UnsatisfiedLinkError("tarnwick has no native library for os.name=\""
                    + osName + "\", os.arch=\"" + osArch + "\" (platform " + platform
                    + "; this class path holds: "
                    + String.join(", ", availablePlatforms(resources)) + ")");
        }
        String expected = expectedHash(resources, resource);
        String actual = sha256(content);
        if (!actual.equals(expected)) {
            throw new IOException("tarnwick's native library " + resource + " in the jar does not"
                    + " match its .sha256 (" + actual + ", expected " + expected
                    + "): the jar is damaged");
        }
        FileSystem fileSystem = FileSystems.getDefault();
        PathChecks checks = PathChecks.forFileSystem(fileSystem);
        Installer installer = new Installer(
                version(resources, RESOURCE_ROOT + platform + "/") + "-"
                        + expected.substring(0, 12),
                library,
                content, expected, checks);
        boolean windows = platform.startsWith("windows-");
        Locations locations = Locations.forEnvironment(checks, fileSystem, windows, directory,
                System.getenv(windows ? "LOCALAPPDATA" : "XDG_CACHE_HOME"),
                System.getProperty("user.home"), System.getProperty("java.io.tmpdir"),
                System.getProperty("user.name", "user"));
        return locations.place(installer, Bindings.name(caller.getClassLoader()), load);
    }

    /**
     * The library that {@link #LIBRARY_PATH_PROPERTY} names, checked as a
     * copy is: an absolute path whose real file and every directory above it
     * belong to this user or the system with nobody else allowed to write
     * them, and a library for {@code platform} by its header. Returns the
     * real path, so that no link is followed again when it is loaded.
     */
    static Path installed(String configured, String platform, FileSystem fileSystem,
            PathChecks checks) throws IOException {
        String refused = "tarnwick does not load the library " + LIBRARY_PATH_PROPERTY + " names ("
                + configured + "): ";
        Path given;
        try {
            given = fileSystem.getPath(configured);
        } catch (InvalidPathException e) {
            throw new IOException(refused + "it " + Locations.notAPath(e));
        }
        if (configured.isEmpty() || !given.isAbsolute()) {
            throw new IOException(refused + "it is not an absolute path");
        }
        Path real;
        try {
            real = given.toRealPath();
            checks.requireSafeDirectories(real.getParent());
            checks.require(real, PathChecks.Role.FILE);
        } catch (IOException | SecurityException e) {
            throw new IOException(refused + Locations.describe(e), e);
        }
        String kind = platformOf(real);
        if (!platform.equals(kind)) {
            throw new IOException(refused + (kind == null ? "it is no library for any platform"
                    + " tarnwick knows (neither an ELF nor a PE file of a known machine)"
                    : "it is a library for " + kind) + ", not for this platform, " + platform);
        }
        LOG.log(System.Logger.Level.INFO, "tarnwick's native library is " + real
                + ", installed, as " + LIBRARY_PATH_PROPERTY + " names it (nothing is copied)");
        return real;
    }

    /**
     * The platform a library file is built for, read from its header as the
     * release reads it ({@code scripts/library-platform.sh}): the ELF or PE
     * machine, or null when it is neither or of a machine not known here.
     */
    static String platformOf(Path file) throws IOException {
        byte[] head = new byte[4096];
        int length;
        try (InputStream in = Files.newInputStream(file, LinkOption.NOFOLLOW_LINKS)) {
            length = in.readNBytes(head, 0, head.length);
        }
        java.nio.ByteBuffer bytes = java.nio.ByteBuffer.wrap(head, 0, length)
                .order(java.nio.ByteOrder.LITTLE_ENDIAN);
        if (length >= 20 && head[0] == 0x7f && head[1] == 'E' && head[2] == 'L'
                && head[3] == 'F') {
            int machine = bytes.getShort(18) & 0xffff;
            return machine == 62 ? "linux-x86_64" : machine == 183 ? "linux-aarch64" : null;
        }
        if (length >= 64 && head[0] == 'M' && head[1] == 'Z') {
            long pe = bytes.getInt(60) & 0xffffffffL;
            if (pe + 6 > length || bytes.getInt((int) pe) != 0x4550) {
                return null;
            }
            int machine = bytes.getShort((int) pe + 4) & 0xffff;
            return machine == 0x8664 ? "windows-x86_64" : machine == 0xAA64 ? "windows-aarch64"
                    : null;
        }
        return null;
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
     * What allows the code of {@code loading}, the class that calls
     * {@code System.load}, native access where the JVM restricts it (Java 24
     * and later warn, and with {@code --illegal-native-access=deny} throw
     * {@link IllegalCallerException}): for a class on the class path,
     * {@code --enable-native-access=ALL-UNNAMED}; for a named module of the
     * boot layer, {@code --enable-native-access=<module>}; for a module of a
     * layer built at run time, which that option does not reach, the layer's
     * {@code ModuleLayer.Controller.enableNativeAccess}, called by the code that
     * builds the layer, which needs native access itself (a player cannot).
     */
    public static String nativeAccessAdvice(Class<?> loading) {
        Module module = loading.getModule();
        if (!module.isNamed()) {
            return "whoever starts the game allows it with --enable-native-access=ALL-UNNAMED (or"
                    + " Enable-Native-Access: ALL-UNNAMED in the manifest of the jar the game"
                    + " starts from)";
        }
        if (module.getLayer() == ModuleLayer.boot()) {
            return "whoever starts the game allows it with --enable-native-access="
                    + module.getName();
        }
        return "the module " + module.getName() + " is in a module layer built at run time,"
                + " which --enable-native-access does not reach: the code that builds that layer"
                + " (the mod loader, which needs native access itself to grant it) must call"
                + " ModuleLayer.Controller.enableNativeAccess for it (Java 22 and later); a player"
                + " cannot grant it";
    }

    /**
     * Turns a failed {@code System.load} of an extracted library into an error
     * that says it was tarnwick's native library, names the file, its SHA-256 as
     * it is on disk now, and the causes that fit the error (and, when the path
     * is not plain ASCII, that one too). The original error is the cause of the
     * one returned.
     */
    public static UnsatisfiedLinkError explainLoadFailure(UnsatisfiedLinkError error, Path library) {
        String hash;
        try {
            hash = Files.exists(library) ? sha256(Files.readAllBytes(library))
                    : "none, the file is missing";
        } catch (IOException e) {
            hash = "unreadable (" + e + ")";
        }
        String message = String.valueOf(error.getMessage());
        String causes = cause(message.toLowerCase(Locale.ROOT), library);
        UnsatisfiedLinkError explained = new UnsatisfiedLinkError("tarnwick could not load its"
                + " native library " + library + " (SHA-256 " + hash + "): " + message + ". "
                + causes
                + (library.toString().chars().anyMatch(c -> c > 0x7e)
                        ? "; also, the path holds non-ASCII characters, which a JVM on Windows may"
                          + " not load a library from (use a game directory or java.io.tmpdir"
                          + " with a plain ASCII path)."
                        : "."));
        explained.initCause(error);
        return explained;
    }

    /**
     * The cause that fits a failed load, from the JVM's own words on Linux
     * (dlopen's error, with the JVM's "Possible cause: can't load AARCH64 .so
     * on a AMD 64 platform" and word-width remarks) and on Windows (its "Can't
     * load IA 32-bit .dll on a AMD 64-bit platform", "machine code=0x..." and
     * the system's "is not a valid Win32 application"), and from what the file
     * on disk is.
     */
    private static String cause(String text, Path library) {
        String arch = System.getProperty("os.arch");
        String kind = foreignKind(library);
        if (text.contains("already loaded in another classloader")) {
            return "Cause: another class loader in this JVM has loaded this file already, and a"
                    + " library file can belong to one class loader only: call extract from the"
                    + " class that loads the library, which then gets a copy of its own";
        }
        if (text.contains("expecting an absolute path")) {
            return "Cause: the path is relative; System.load needs an absolute one";
        }
        if (text.contains("can't load") && (text.contains(" .so on a") || text.contains(".dll on a"))
                || text.contains("machine code=") || text.contains("wrong elf class")
                || text.contains("elfclass") || text.contains("word width mismatch")
                || text.contains("endianness mismatch") || text.contains("invalid elf file class")) {
            return "Cause: the library was built for another processor or word width than this"
                    + " JVM's (os.arch=" + arch + "), as the JVM's message says: the jar's entry"
                    + " for this platform holds another platform's library, or the JVM is not the"
                    + " one the platform was chosen for";
        }
        if (text.contains("not a valid win32 application") || text.contains("invalid elf header")
                || text.contains("file too short") || text.contains("bad exe format")) {
            if (kind != null) {
                return "Cause: the file is " + kind + ", not a library for this platform (os.name="
                        + System.getProperty("os.name") + ", os.arch=" + arch + "): the jar's"
                        + " entry for this platform holds another platform's library";
            }
            return "Cause: the file is not a library for this platform: it was damaged or"
                    + " replaced after it was checked (an antivirus program may have altered it)";
        }
        if (text.contains("failed to map segment") || text.contains("operation not permitted")
                || text.contains("memory protection")) {
            return "Cause: the file system the file is on does not let code run from it, as one"
                    + " mounted noexec does (NativeLibraryExtractor.load tries the other"
                    + " locations in turn; a game directory elsewhere, or an installed copy named"
                    + " in -D" + LIBRARY_PATH_PROPERTY + ", avoids it)";
        }
        if (text.contains("permission denied") || text.contains("access is denied")) {
            return "Cause: this user may not read or run the file (its permissions, a security"
                    + " policy, or an antivirus program that locked it)";
        }
        if (text.contains("can't find dependent libraries")) {
            return "Cause: a library it depends on is missing, or an antivirus program blocked it";
        }
        if (!Files.exists(library) || text.contains("no such file")
                || text.contains("can't load library")) {
            return "Cause: the file is missing: something removed it after it was extracted (an"
                    + " antivirus program may have quarantined it; allow the game directory)";
        }
        return "Likely causes: an antivirus program quarantined or locked the file (allow it,"
                + " or the game directory); the library does not fit this JVM's architecture"
                + " (os.arch=" + arch + ", a 64-bit JVM is needed); the directory is on a file"
                + " system mounted noexec";
    }

    /**
     * What other system's library {@code file} is by its first bytes ("a
     * Linux (ELF) library" on Windows, "a Windows (PE) library" elsewhere), or
     * null when it is none or cannot be read.
     */
    private static String foreignKind(Path file) {
        byte[] head = new byte[4];
        try (InputStream in = Files.newInputStream(file, LinkOption.NOFOLLOW_LINKS)) {
            if (in.readNBytes(head, 0, 4) < 2) {
                return null;
            }
        } catch (IOException | SecurityException e) {
            return null;
        }
        boolean windows = String.valueOf(System.getProperty("os.name"))
                .toLowerCase(Locale.ROOT).startsWith("windows");
        if (windows && head[0] == 0x7f && head[1] == 'E' && head[2] == 'L' && head[3] == 'F') {
            return "a Linux (ELF) library";
        }
        if (!windows && head[0] == 'M' && head[1] == 'Z') {
            return "a Windows (PE) library";
        }
        return null;
    }

    private static String libraryName(String platform) {
        for (String[] known : PLATFORMS) {
            if (known[0].equals(platform)) {
                return known[1];
            }
        }
        return null;
    }

    private static List<String> availablePlatforms(Resources resources) {
        List<String> found = new ArrayList<>();
        for (String[] known : PLATFORMS) {
            if (resources.has(RESOURCE_ROOT + known[0] + "/" + known[1])) {
                found.add(known[0]);
            }
        }
        if (found.isEmpty()) {
            found.add("no tarnwick natives at all");
        }
        return found;
    }

    private static String expectedHash(Resources resources, String resource) throws IOException {
        byte[] text = resources.read(resource + ".sha256");
        if (text == null) {
            throw new IOException("the SHA-256 of tarnwick's native library, " + resource
                    + ".sha256, is missing from the jar");
        }
        String hash = Text.words(new String(text, StandardCharsets.US_ASCII).trim())[0];
        if (!Text.isHex(hash, 64)) {
            throw new IOException(resource + ".sha256 holds no SHA-256: \"" + hash + "\"");
        }
        return hash;
    }

    /** The release, from {@code tarnwick.version} in the platform's directory {@code folder}. */
    private static String version(Resources resources, String folder) throws IOException {
        byte[] text = resources.read(folder + "tarnwick.version");
        String version = text == null ? "" : new String(text, StandardCharsets.US_ASCII).trim();
        if (!Text.isVersion(version)) {
            throw new IOException(folder + "tarnwick.version is missing or malformed");
        }
        return version;
    }

    static String sha256(byte[] content) {
        byte[] digest = Sha256.digest(content);
        StringBuilder hex = new StringBuilder(64);
        for (byte b : digest) {
            hex.append(Character.forDigit((b >> 4) & 0xf, 16))
                    .append(Character.forDigit(b & 0xf, 16));
        }
        return hex.toString();
    }
}

package tarnwick.natives;

import java.io.IOException;
import java.io.InputStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.AccessDeniedException;
import java.nio.file.AtomicMoveNotSupportedException;
import java.nio.file.DirectoryStream;
import java.nio.file.FileAlreadyExistsException;
import java.nio.file.FileSystemException;
import java.nio.file.FileSystems;
import java.nio.file.Files;
import java.nio.file.LinkOption;
import java.nio.file.NoSuchFileException;
import java.nio.file.NotDirectoryException;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.StandardCopyOption;
import java.nio.file.attribute.FileTime;
import java.nio.file.attribute.PosixFileAttributes;
import java.nio.file.attribute.PosixFilePermission;
import java.nio.file.attribute.PosixFilePermissions;
import java.nio.file.attribute.UserPrincipal;
import java.security.MessageDigest;
import java.security.NoSuchAlgorithmException;
import java.util.ArrayList;
import java.util.List;
import java.util.Locale;
import java.util.Set;
import java.util.regex.Pattern;

/**
 * Finds tarnwick's native library for this platform in the natives jar, copies
 * it to disk once and hands back the verified, absolute path.
 *
 * <p>The jar holds {@code natives/<platform>/<library>} with the SHA-256 of the
 * library in {@code <library>.sha256} beside it, and the release in
 * {@code natives/tarnwick.version}. The copy goes to
 * {@code <base>/tarnwick-natives/<version>-<first 12 hex digits of the hash>/}, where
 * the base is the first of these that works: the directory the caller names (the
 * game directory); the user's cache ({@code $XDG_CACHE_HOME} or {@code ~/.cache},
 * on Windows {@code %LOCALAPPDATA%}); a directory of this user's own in
 * {@code java.io.tmpdir}.
 *
 * <p>Where the file system has POSIX attributes, nothing is reused or loaded
 * from a place another user could have put there or could change: every
 * directory from the root down to the copy, and the copy itself, must belong to
 * this user or root and must not be writable by anyone else (group write is
 * accepted only for the user's own private group, a group of the user's name;
 * world-writable ancestors only with the sticky bit, as {@code /tmp} has it).
 * Directories it creates are created owner-only. In {@code java.io.tmpdir}, which
 * every user shares, the directory must also be owner-only; when someone else got
 * there first, the copy goes to a fresh directory of this user's own instead.
 *
 * <p>A copy already there is used when it passes those checks and its hash
 * matches, and replaced otherwise. A new copy is written to a temporary file in
 * the same directory and then put into place whole (hard-linked where no copy
 * is yet, so that of two game instances starting together the first one wins and
 * the other uses its copy; moved over a copy that does not pass), so no instance
 * sees a half-written library, and an instance that has the library loaded keeps
 * its file. Right before the path is returned, the directories and the file are
 * checked again and the file is hashed again; as no other user can write them,
 * the file cannot be swapped between that check and {@code System.load}.
 *
 * <p>Loading is left to the caller on purpose: {@code System.load} binds the
 * library to the class loader of the class that calls it, and the JVM looks
 * native methods up through that loader. So the class that declares the native
 * methods loads it itself, and carries on without it where there is none:
 *
 * <pre>{@code
 * static boolean loadNatives(Path gameDirectory) {
 *     if (!NativeLibraryExtractor.isSupported()) {
 *         return false;                      // no library for this platform
 *     }
 *     Path library = null;
 *     try {
 *         library = NativeLibraryExtractor.extract(gameDirectory);
 *         System.load(library.toString());
 *         return true;
 *     } catch (IOException | UnsatisfiedLinkError e) {
 *         log(library == null || e instanceof IOException ? e
 *                 : NativeLibraryExtractor.explainLoadFailure((UnsatisfiedLinkError) e, library));
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

    private static final String[][] PLATFORMS = {
        {"linux-x86_64", "libtarnwick.so"},
        {"linux-aarch64", "libtarnwick.so"},
        {"windows-x86_64", "tarnwick.dll"},
    };

    private static final String NATIVES_FOLDER = "tarnwick-natives";
    private static final Pattern VERSION_FOLDER = Pattern.compile("[0-9A-Za-z._+-]+-[0-9a-f]{12}");
    /** A temporary file this old was left by an interrupted start. */
    private static final long STALE_PART_MILLIS = 10L * 60 * 1000;
    /** Another version's folder that no start has used for this long is removed. */
    private static final long STALE_FOLDER_MILLIS = 7L * 24 * 60 * 60 * 1000;
    private static final Set<PosixFilePermission> OWNER_ONLY =
            PosixFilePermissions.fromString("rwx------");
    private static final System.Logger LOG = System.getLogger("tarnwick.natives");

    private NativeLibraryExtractor() {}

    /**
     * Whether this class path holds tarnwick's library for the running JVM's
     * platform. When it does not (macOS, for one), {@link #extract(Path)} throws
     * {@link UnsatisfiedLinkError}; a mod checks this first and goes on without
     * the library.
     */
    public static boolean isSupported() {
        return isSupported(System.getProperty("os.name"), System.getProperty("os.arch"));
    }

    /** As {@link #isSupported()}, for the platform the two property values name. */
    public static boolean isSupported(String osName, String osArch) {
        String library = libraryName(platform(osName, osArch));
        return library != null
                && resource(RESOURCE_ROOT + platform(osName, osArch) + "/" + library) != null;
    }

    /**
     * Extracts the library for the running JVM's platform (from {@code os.name}
     * and {@code os.arch}) under {@code directory}, or, when {@code directory} is
     * null or cannot hold a safe copy, under the user's cache or temporary
     * directory.
     *
     * @return the absolute path of a file whose SHA-256 matches the one in the jar
     * @throws UnsatisfiedLinkError when no library fits this platform (see
     *     {@link #isSupported()})
     * @throws IOException when no location can hold a verified copy; the message
     *     names every location tried and why it failed
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
            throw new UnsatisfiedLinkError("tarnwick has no native library for os.name=\""
                    + osName + "\", os.arch=\"" + osArch + "\" (platform " + platform
                    + "; this class path holds: " + String.join(", ", availablePlatforms()) + ")");
        }
        String expected = expectedHash(resource);
        String actual = sha256(content);
        if (!actual.equals(expected)) {
            throw new IOException("tarnwick's native library " + resource + " in the jar does not"
                    + " match its .sha256 (" + actual + ", expected " + expected
                    + "): the jar is damaged");
        }
        Copy copy = new Copy(version() + "-" + expected.substring(0, 12), library, content,
                expected);

        boolean windows = platform.startsWith("windows-");
        List<String> failures = new ArrayList<>();
        List<Throwable> causes = new ArrayList<>();
        if (directory != null) {
            try {
                return copy.installUnder(directory.toAbsolutePath().normalize(), false);
            } catch (IOException | SecurityException e) {
                failures.add("in the game directory: " + describe(e));
                causes.add(e);
                LOG.log(System.Logger.Level.INFO, "tarnwick does not put its native library in"
                        + " the game directory: " + describe(e) + "; trying the next location");
            }
        }
        Path cache = userCache(windows);
        if (cache != null) {
            try {
                return copy.installUnder(cache, false);
            } catch (IOException | SecurityException e) {
                failures.add("in the user's cache: " + describe(e));
                causes.add(e);
                LOG.log(System.Logger.Level.INFO, "tarnwick does not put its native library in"
                        + " the user's cache: " + describe(e) + "; trying the next location");
            }
        }
        try {
            return copy.installUnder(copy.temporaryBase(), true);
        } catch (IOException | SecurityException e) {
            failures.add("in java.io.tmpdir: " + describe(e));
            causes.add(e);
        }
        IOException failure = new IOException("tarnwick could not put its native library " + library
                + " (SHA-256 " + expected + ") anywhere safe:\n  " + String.join("\n  ", failures));
        for (Throwable cause : causes) {
            failure.addSuppressed(cause);
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
        String text = message.toLowerCase(Locale.ROOT);
        String causes;
        if (text.contains("already loaded in another classloader")) {
            causes = "Cause: another class loader in this JVM has loaded this library already,"
                    + " and a library can belong to one class loader only: two mods, or two"
                    + " copies of the mod, each load it (let only one of them load it)";
        } else if (text.contains("expecting an absolute path")) {
            causes = "Cause: the path is relative; System.load needs an absolute one";
        } else if (text.contains("elfclass") || text.contains("wrong elf class")
                || text.contains("machine") || text.contains("32-bit") || text.contains("64-bit")
                || text.contains("not a valid win32")) {
            causes = "Cause: the library does not fit this JVM's architecture (os.arch="
                    + System.getProperty("os.arch") + "; tarnwick needs a 64-bit x86 JVM)";
        } else if (text.contains("invalid elf header") || text.contains("file too short")) {
            causes = "Cause: the file is not a library for this platform: it was damaged or"
                    + " replaced after it was checked (an antivirus program may have altered it)";
        } else if (text.contains("failed to map segment")
                || text.contains("operation not permitted") || text.contains("memory protection")) {
            causes = "Cause: the directory is on a file system mounted noexec (move the game"
                    + " directory, or point java.io.tmpdir and the user's cache elsewhere)";
        } else if (text.contains("permission denied") || text.contains("access is denied")) {
            causes = "Cause: this user may not read or run the file (its permissions, a security"
                    + " policy, or an antivirus program that locked it)";
        } else if (text.contains("can't find dependent libraries")) {
            causes = "Cause: a library it depends on is missing, or an antivirus program"
                    + " blocked it";
        } else if (!Files.exists(library) || text.contains("no such file")
                || text.contains("can't load library")) {
            causes = "Cause: the file is missing: something removed it after it was extracted (an"
                    + " antivirus program may have quarantined it; allow the game directory)";
        } else {
            causes = "Likely causes: an antivirus program quarantined or locked the file (allow it,"
                    + " or the game directory); the library does not fit this JVM's architecture"
                    + " (os.arch=" + System.getProperty("os.arch") + ", a 64-bit JVM is needed);"
                    + " the directory is on a file system mounted noexec";
        }
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

    /** A failure in words: the file system's exceptions often carry only the path. */
    private static String describe(Exception e) {
        if (!(e instanceof FileSystemException) || ((FileSystemException) e).getReason() != null) {
            return String.valueOf(e.getMessage());
        }
        String reason = e instanceof AccessDeniedException ? "permission denied"
                : e instanceof NoSuchFileException ? "no such file or directory"
                : e instanceof FileAlreadyExistsException ? "exists already"
                : e instanceof NotDirectoryException ? "not a directory"
                : e.getClass().getSimpleName();
        return e.getMessage() + ": " + reason;
    }

    /** The user's own cache directory, or null when the environment names none. */
    private static Path userCache(boolean windows) {
        String configured = System.getenv(windows ? "LOCALAPPDATA" : "XDG_CACHE_HOME");
        if (configured != null && !configured.isEmpty() && Paths.get(configured).isAbsolute()) {
            return Paths.get(configured).normalize();
        }
        String home = System.getProperty("user.home");
        return windows || home == null || home.isEmpty() || !Paths.get(home).isAbsolute() ? null
                : Paths.get(home, ".cache").normalize();
    }

    /** One library to put in place: where its folder goes, and the checks on it. */
    private static final class Copy {
        final String folderName;
        final String library;
        final byte[] content;
        final String expected;
        final Checks checks = new Checks();

        Copy(String folderName, String library, byte[] content, String expected) {
            this.folderName = folderName;
            this.library = library;
            this.content = content;
            this.expected = expected;
        }

        /**
         * This user's directory in the shared temporary directory:
         * {@code tarnwick-<user name>}, with the user name folded to ASCII and,
         * where that changed it, a hash of the full name so that two users do
         * not share one name.
         */
        Path temporaryBase() {
            String user = System.getProperty("user.name", "user");
            String folded = user.replaceAll("[^A-Za-z0-9._-]", "_");
            String name = "tarnwick-" + folded + (folded.equals(user) ? ""
                    : "-" + sha256(user.getBytes(StandardCharsets.UTF_8)).substring(0, 8));
            return Paths.get(System.getProperty("java.io.tmpdir")).toAbsolutePath().normalize()
                    .resolve(name);
        }

        /**
         * Puts a verified copy into {@code <base>/tarnwick-natives/<folder>}.
         * For the shared temporary directory, {@code base} itself must also be
         * this user's own and owner-only, or another one of this user's is used.
         */
        Path installUnder(Path base, boolean shared) throws IOException {
            Path home;
            if (shared) {
                home = privateDirectory(base);
            } else {
                checks.createDirectories(base);
                home = base.toRealPath();
                checks.requireSafeDirectories(home, false);
            }
            Path natives = checks.createDirectory(home.resolve(NATIVES_FOLDER));
            Path folder = checks.createDirectory(natives.resolve(folderName));
            Path target = install(folder);
            // Again, right before the path is handed out: every directory down
            // to the file, the file, and its content.
            checks.requireSafeDirectories(folder, false);
            checks.requireSafeFile(target);
            String hash = hashOf(target);
            if (!hash.equals(expected)) {
                throw new IOException(target + " does not match tarnwick's native library in the"
                        + " jar after writing it (SHA-256 " + hash + ", expected " + expected
                        + ")");
            }
            removeStale(natives, folder);
            return target;
        }

        /** The owner-only directory {@code base}, or a fresh one of this user's beside it. */
        private Path privateDirectory(Path base) throws IOException {
            Path parent = base.getParent();
            checks.createDirectories(parent);
            Path realParent = parent.toRealPath();
            checks.requireSafeDirectories(realParent, true);
            Path wanted = realParent.resolve(base.getFileName());
            String why;
            try {
                checks.createPrivate(wanted);
                return wanted;
            } catch (IOException e) {
                why = describe(e);
            }
            // Someone else's, or open to others: never used. A directory of
            // this user's from an earlier start serves, else a new one.
            Path chosen = null;
            Pattern earlier = Pattern.compile(Pattern.quote(base.getFileName() + ".") + "[0-9]+");
            try (DirectoryStream<Path> entries = Files.newDirectoryStream(realParent)) {
                for (Path entry : entries) {
                    if (chosen == null && earlier.matcher(entry.getFileName().toString()).matches()
                            && checks.isPrivate(entry)) {
                        chosen = entry;
                    }
                }
            }
            if (chosen == null) {
                chosen = checks.posix
                        ? Files.createTempDirectory(realParent, base.getFileName() + ".",
                                PosixFilePermissions.asFileAttribute(OWNER_ONLY))
                        : Files.createTempDirectory(realParent, base.getFileName() + ".");
                checks.createPrivate(chosen);
            }
            LOG.log(System.Logger.Level.WARNING, "tarnwick does not use " + wanted
                    + " for its native library: " + why + ". Using " + chosen + " instead.");
            return chosen;
        }

        /** Whether {@code file} is a copy no one else could have written, with the right hash. */
        private boolean passes(Path file) throws IOException {
            return checks.fileProblem(file) == null && hashOf(file).equals(expected);
        }

        /** Puts a copy that passes the checks at {@code folder/library}. */
        private Path install(Path folder) throws IOException {
            Path target = folder.resolve(library);
            String unsafe = Files.exists(target, LinkOption.NOFOLLOW_LINKS)
                    ? checks.fileProblem(target) : null;
            if (unsafe == null && hashOf(target).equals(expected)) {
                return target;
            }
            if (unsafe != null) {
                LOG.log(System.Logger.Level.WARNING, "tarnwick replaces the copy of its native"
                        + " library " + target + ": " + unsafe);
            }
            Path temporary = Files.createTempFile(folder, library + ".", ".part");
            try {
                Files.write(temporary, content);
                // Where no copy is yet, the first instance to link its file in
                // wins and the others use that one; a copy that does not pass
                // is replaced.
                if (!linkUnlessPresent(temporary, target) && !passes(target)) {
                    try {
                        Files.move(temporary, target, StandardCopyOption.ATOMIC_MOVE,
                                StandardCopyOption.REPLACE_EXISTING);
                    } catch (AtomicMoveNotSupportedException e) {
                        Files.move(temporary, target, StandardCopyOption.REPLACE_EXISTING);
                    } catch (IOException e) {
                        // On Windows a loaded DLL cannot be replaced. If another
                        // instance put a good copy there meanwhile, that one serves.
                        if (!passes(target)) {
                            throw new IOException("could not write tarnwick's native library to "
                                    + target + ": " + e, e);
                        }
                    }
                }
            } finally {
                Files.deleteIfExists(temporary);
            }
            return target;
        }

        /**
         * Removes what interrupted starts and older versions left behind: this
         * user's {@code .part} files of the library, and folders of other
         * versions that no start has used for a week, with only the library's
         * files in them. Anything else is left alone; failures are ignored (a
         * DLL in use on Windows cannot be removed).
         */
        private void removeStale(Path natives, Path folder) {
            long now = System.currentTimeMillis();
            try {
                Files.setLastModifiedTime(folder, FileTime.fromMillis(now));
            } catch (IOException | SecurityException e) {
                // A read-only location: nothing to mark, nothing to clean.
                return;
            }
            try (DirectoryStream<Path> entries = Files.newDirectoryStream(natives)) {
                for (Path entry : entries) {
                    String name = entry.getFileName().toString();
                    if (entry.equals(folder)) {
                        removeOwnFiles(entry, now - STALE_PART_MILLIS, false);
                    } else if (VERSION_FOLDER.matcher(name).matches() && checks.isOwn(entry)
                            && Files.getLastModifiedTime(entry, LinkOption.NOFOLLOW_LINKS)
                                    .toMillis() < now - STALE_FOLDER_MILLIS) {
                        removeOwnFiles(entry, now, true);
                        try {
                            Files.deleteIfExists(entry);
                        } catch (IOException e) {
                            // Holds something else, or a library in use.
                        }
                    }
                }
            } catch (IOException | SecurityException e) {
                // Left for a later start.
            }
        }

        /** Removes this user's library files in {@code folder} older than {@code before}. */
        private void removeOwnFiles(Path folder, long before, boolean libraries)
                throws IOException {
            Pattern ours = Pattern.compile("(libtarnwick\\.so|tarnwick\\.dll)"
                    + (libraries ? "(\\.[0-9]+\\.part)?" : "\\.[0-9]+\\.part"));
            try (DirectoryStream<Path> entries = Files.newDirectoryStream(folder)) {
                for (Path entry : entries) {
                    if (ours.matcher(entry.getFileName().toString()).matches()
                            && checks.isOwn(entry)
                            && Files.isRegularFile(entry, LinkOption.NOFOLLOW_LINKS)
                            && Files.getLastModifiedTime(entry, LinkOption.NOFOLLOW_LINKS)
                                    .toMillis() < before) {
                        try {
                            Files.deleteIfExists(entry);
                        } catch (IOException e) {
                            // In use (Windows) or gone already.
                        }
                    }
                }
            }
        }
    }

    /**
     * Who may have written a path. Where the file system has no POSIX
     * attributes (Windows), owner and mode are not checked: the locations used
     * there are the game directory and the user's own profile.
     */
    private static final class Checks {
        final boolean posix = FileSystems.getDefault().supportedFileAttributeViews()
                .contains("posix");
        private UserPrincipal user;
        private UserPrincipal root;

        /** This process's user: the owner of /proc/self where there is one. */
        private UserPrincipal user() throws IOException {
            if (user == null) {
                Path self = Paths.get("/proc/self");
                user = Files.isDirectory(self) ? Files.getOwner(self)
                        : FileSystems.getDefault().getUserPrincipalLookupService()
                                .lookupPrincipalByName(System.getProperty("user.name"));
                try {
                    root = FileSystems.getDefault().getUserPrincipalLookupService()
                            .lookupPrincipalByName("root");
                } catch (IOException e) {
                    root = user;
                }
            }
            return user;
        }

        /** Why another user could have changed the path, or null when none could. */
        String problem(Path path, boolean directory, boolean stickyAllowed) throws IOException {
            if (!posix) {
                return null;
            }
            PosixFileAttributes attributes = Files.readAttributes(path, PosixFileAttributes.class,
                    LinkOption.NOFOLLOW_LINKS);
            if (attributes.isSymbolicLink()) {
                return path + " is a symbolic link";
            }
            if (directory ? !attributes.isDirectory() : !attributes.isRegularFile()) {
                return path + " is not a " + (directory ? "directory" : "regular file");
            }
            UserPrincipal owner = attributes.owner();
            if (!owner.equals(user()) && !owner.equals(root)) {
                return path + " belongs to " + owner.getName() + ", not to " + user().getName();
            }
            Set<PosixFilePermission> mode = attributes.permissions();
            boolean sticky = stickyAllowed && isSticky(path);
            if (mode.contains(PosixFilePermission.OTHERS_WRITE) && !sticky) {
                return path + " is writable by every user (mode "
                        + PosixFilePermissions.toString(mode) + ")";
            }
            if (mode.contains(PosixFilePermission.GROUP_WRITE) && !sticky
                    && !attributes.group().getName().equals(owner.getName())) {
                return path + " is writable by the group " + attributes.group().getName()
                        + " (mode " + PosixFilePermissions.toString(mode) + ")";
            }
            return null;
        }

        String fileProblem(Path file) throws IOException {
            return problem(file, false, false);
        }

        void requireSafeFile(Path file) throws IOException {
            String problem = fileProblem(file);
            if (problem != null) {
                throw new IOException(problem);
            }
        }

        /**
         * Every directory from the root down to {@code directory}, a real path.
         * Directories others may write to pass only with the sticky bit (as
         * {@code /tmp} has it: nobody can rename or remove another's entries),
         * and {@code directory} itself only when {@code stickyToo}.
         */
        void requireSafeDirectories(Path directory, boolean stickyToo) throws IOException {
            List<Path> chain = new ArrayList<>();
            Path current = directory.getRoot();
            if (current != null) {
                chain.add(current);
            }
            for (Path name : directory) {
                current = current == null ? name : current.resolve(name);
                chain.add(current);
            }
            for (Path step : chain) {
                String problem = problem(step, true, stickyToo || !step.equals(directory));
                if (problem != null) {
                    throw new IOException(problem);
                }
            }
        }

        boolean isOwn(Path path) {
            try {
                return !posix || Files.getOwner(path, LinkOption.NOFOLLOW_LINKS).equals(user());
            } catch (IOException | SecurityException e) {
                return false;
            }
        }

        /** An owner-only directory of this user's, not a link. */
        boolean isPrivate(Path directory) {
            try {
                if (!posix) {
                    return Files.isDirectory(directory, LinkOption.NOFOLLOW_LINKS);
                }
                PosixFileAttributes attributes = Files.readAttributes(directory,
                        PosixFileAttributes.class, LinkOption.NOFOLLOW_LINKS);
                return attributes.isDirectory() && attributes.owner().equals(user())
                        && attributes.permissions().equals(OWNER_ONLY);
            } catch (IOException | SecurityException e) {
                return false;
            }
        }

        /**
         * Creates {@code directory} owner-only unless it exists; one of this
         * user's that only others could read is made owner-only. Fails when it
         * is someone else's or others could write to it.
         */
        void createPrivate(Path directory) throws IOException {
            createDirectory(directory);
            if (posix && !isPrivate(directory)) {
                String problem = problem(directory, true, false);
                if (problem == null && isOwn(directory)) {
                    // Nobody else could have written to it.
                    Files.setPosixFilePermissions(directory, OWNER_ONLY);
                }
                if (!isPrivate(directory)) {
                    throw new IOException(problem != null ? problem
                            : directory + " is not this user's own owner-only directory");
                }
            }
        }

        /** Creates the directory owner-only unless it exists, and checks it. */
        Path createDirectory(Path directory) throws IOException {
            try {
                createOwnerOnly(directory);
            } catch (FileAlreadyExistsException e) {
                // Checked below.
            }
            String problem = problem(directory, true, false);
            if (problem != null) {
                throw new IOException(problem);
            }
            return directory;
        }

        /** Creates the missing directories of {@code directory}, each owner-only. */
        void createDirectories(Path directory) throws IOException {
            if (Files.isDirectory(directory)) {
                return;
            }
            Path parent = directory.getParent();
            if (parent != null) {
                createDirectories(parent);
            }
            try {
                createOwnerOnly(directory);
            } catch (FileAlreadyExistsException e) {
                if (!Files.isDirectory(directory)) {
                    throw new IOException(directory + " exists and is not a directory", e);
                }
            }
        }

        /**
         * Creates one directory, owner-only from the start where the file
         * system has POSIX attributes (so no umask widens it); throws
         * FileAlreadyExistsException when something is there.
         */
        private void createOwnerOnly(Path directory) throws IOException {
            if (posix) {
                Files.createDirectory(directory, PosixFilePermissions.asFileAttribute(OWNER_ONLY));
            } else {
                Files.createDirectory(directory);
            }
        }

        private static boolean isSticky(Path directory) {
            try {
                Object mode = Files.getAttribute(directory, "unix:mode", LinkOption.NOFOLLOW_LINKS);
                return mode instanceof Integer && ((Integer) mode & 01000) != 0;
            } catch (IOException | UnsupportedOperationException | IllegalArgumentException
                    | SecurityException e) {
                return false;
            }
        }
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

    /** The file's SHA-256, or "" when there is no regular file (a link is none). */
    private static String hashOf(Path file) throws IOException {
        if (!Files.isRegularFile(file, LinkOption.NOFOLLOW_LINKS)) {
            return "";
        }
        try (InputStream in = Files.newInputStream(file, LinkOption.NOFOLLOW_LINKS)) {
            return sha256(in.readAllBytes());
        }
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
            throw new IOException("the SHA-256 of tarnwick's native library, " + resource
                    + ".sha256, is missing from the jar");
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

    private static java.net.URL resource(String name) {
        ClassLoader loader = NativeLibraryExtractor.class.getClassLoader();
        return loader == null ? ClassLoader.getSystemResource(name) : loader.getResource(name);
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

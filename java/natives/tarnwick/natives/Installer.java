package tarnwick.natives;

import java.io.IOException;
import java.io.InputStream;
import java.nio.channels.FileChannel;
import java.nio.channels.FileLock;
import java.nio.channels.OverlappingFileLockException;
import java.nio.file.AtomicMoveNotSupportedException;
import java.nio.file.DirectoryStream;
import java.nio.file.Files;
import java.nio.file.LinkOption;
import java.nio.file.Path;
import java.nio.file.StandardCopyOption;
import java.nio.file.StandardOpenOption;
import java.nio.file.attribute.FileTime;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;

/**
 * Puts one verified copy of the library in place under a base directory the
 * location policy chose: {@code <base>/tarnwick-natives/<version>-<hash>/<library>},
 * and, for a class loader other than the one the library was first handed to
 * in this JVM, a second copy beside it under a name of its own
 * ({@code libtarnwick.<digits>.so}, {@code tarnwick.<digits>.dll}): the JVM
 * binds a library file to one class loader and refuses it to any other.
 */
final class Installer {
    static final String NATIVES_FOLDER = "tarnwick-natives";
    /** A temporary file or a per-loader copy this old is not about to be loaded. */
    private static final long STALE_PART_MILLIS = 10L * 60 * 1000;
    /** Another version's folder that no start has used for this long is removed. */
    private static final long STALE_FOLDER_MILLIS = 7L * 24 * 60 * 60 * 1000;
    private static final System.Logger LOG = System.getLogger("tarnwick.natives");
    /** The side file of a copy, locked shared by each JVM that uses the copy. */
    static final String LOCK_SUFFIX = ".lock";
    /** This JVM's record of the copies it holds; written so that relocation leaves it alone. */
    private static final String IN_USE = "tarnwick-in-use:";
    /** The channels that hold the shared locks; never closed. */
    private static final List<FileChannel> HELD = new ArrayList<>();

    private final String folderName;
    private final String library;
    private final byte[] content;
    private final String expected;
    private final PathChecks checks;
    /** The name before and after the digits of a per-loader copy: "libtarnwick." and ".so". */
    private final String copyPrefix;
    private final String copySuffix;

    /**
     * {@code content} is the library as the jar holds it, already found to
     * have the SHA-256 {@code expected}: copies are compared with it byte for
     * byte.
     */
    Installer(String folderName, String library, byte[] content, String expected,
            PathChecks checks) {
        this.folderName = folderName;
        this.library = library;
        this.content = content.clone();
        this.expected = expected;
        this.checks = checks;
        int dot = library.lastIndexOf('.');
        this.copyPrefix = library.substring(0, dot + 1);
        this.copySuffix = library.substring(dot);
    }

    PathChecks checks() {
        return checks;
    }

    String library() {
        return library;
    }

    String expected() {
        return expected;
    }

    /**
     * Puts a verified copy into {@code <home>/tarnwick-natives/<folder>} for
     * the class loader {@code loader} names and returns its path. {@code home}
     * is a real path whose directories have been checked.
     */
    Path installUnder(Path home, String loader) throws IOException {
        Path natives = checks.createDirectory(home.resolve(NATIVES_FOLDER));
        Path folder = checks.createDirectory(natives.resolve(folderName));
        Path target = install(folder);
        String boundTo = Bindings.bind(target, loader);
        if (!boundTo.equals(loader)) {
            target = copyFor(folder, target, loader, boundTo);
        }
        holdInUse(target);
        // Again, right before the path is handed out: every directory down
        // to the file, the file, and its content.
        checks.requireSafeDirectories(folder);
        checks.require(target, PathChecks.Role.FILE);
        if (!isCopy(target)) {
            String hash = hashOf(target);
            throw new IOException(target + " does not match tarnwick's native library in the"
                    + " jar after writing it (SHA-256 " + hash + ", expected " + expected + ")");
        }
        removeStale(natives, folder, target);
        return target;
    }

    /** Whether {@code file} is a copy no one else could have written, with the right hash. */
    private boolean passes(Path file) throws IOException {
        return checks.problem(file, PathChecks.Role.FILE) == null && isCopy(file);
    }

    /**
     * Whether {@code file} is a regular file (a link is none) that holds the
     * library's bytes and nothing else. The bytes are the jar's entry, whose
     * SHA-256 the extractor compared with the jar's before it made this
     * installer, so this is the check that the file's SHA-256 is the expected
     * one, without hashing the file again.
     */
    private boolean isCopy(Path file) throws IOException {
        if (!Files.isRegularFile(file, LinkOption.NOFOLLOW_LINKS)) {
            return false;
        }
        try (InputStream in = Files.newInputStream(file, LinkOption.NOFOLLOW_LINKS)) {
            return Arrays.equals(in.readNBytes(content.length + 1), content);
        }
    }

    /** Puts a copy that passes the checks at {@code folder/library}. */
    private Path install(Path folder) throws IOException {
        Path target = folder.resolve(library);
        String unsafe = Files.exists(target, LinkOption.NOFOLLOW_LINKS)
                ? checks.problem(target, PathChecks.Role.FILE) : null;
        if (unsafe == null && isCopy(target)) {
            return target;
        }
        if (unsafe != null) {
            LOG.log(System.Logger.Level.WARNING, "tarnwick replaces the copy of its native"
                    + " library " + target + ": " + unsafe);
        }
        Path temporary = write(folder, library + ".", ".part");
        try {
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
            deleteQuietly(temporary);
        }
        return target;
    }

    /**
     * The copy for {@code loader} when {@code target} went to another class
     * loader of this JVM: the one made for it earlier when it still passes,
     * else a new one.
     */
    private Path copyFor(Path folder, Path target, String loader, String boundTo)
            throws IOException {
        String earlier = Bindings.copyOf(target, loader);
        if (earlier != null && Files.exists(folder.resolve(earlier), LinkOption.NOFOLLOW_LINKS)
                && passes(folder.resolve(earlier))) {
            return folder.resolve(earlier);
        }
        Path copy = write(folder, copyPrefix, copySuffix);
        Bindings.recordCopy(target, loader, copy);
        LOG.log(System.Logger.Level.INFO, "tarnwick's native library " + target + " belongs to"
                + " another class loader of this JVM (" + boundTo + "); " + loader + " gets the"
                + " copy " + copy);
        return copy;
    }

    /** A new owner-only file in {@code folder} with the library's bytes. */
    private Path write(Path folder, String prefix, String suffix) throws IOException {
        Path file = checks.createOwnerOnlyFile(folder, prefix, suffix);
        try {
            Files.write(file, content);
        } catch (IOException | RuntimeException e) {
            deleteQuietly(file);
            throw e;
        }
        return file;
    }

    /**
     * Takes a shared lock on {@code <copy>.lock} for as long as this JVM runs
     * (or the class loader of this class lives, which a library loaded
     * through it does not outlive): a start in another JVM removes a copy
     * only while it holds the exclusive lock on its side file, so never one
     * in use. The side file, not the copy, carries the lock because POSIX
     * drops a process's locks on a file when any of its descriptors for that
     * file is closed, and the copy is opened to hash and to load it. For the
     * same reason a channel on a side file is never closed once opened here,
     * and this JVM records the copies it holds in a system property, under a
     * name no relocation of this package rewrites, so that neither another
     * copy of this class nor the cleanup opens the side file again.
     */
    private static void holdInUse(Path copy) throws IOException {
        String key = IN_USE + copy.toUri();
        if (System.getProperties().putIfAbsent(key, "held") != null) {
            return;
        }
        try {
            FileChannel channel = FileChannel.open(lockOf(copy), StandardOpenOption.CREATE,
                    StandardOpenOption.READ, StandardOpenOption.WRITE,
                    LinkOption.NOFOLLOW_LINKS);
            synchronized (HELD) {
                HELD.add(channel);
            }
            channel.lock(0, Long.MAX_VALUE, true);
        } catch (OverlappingFileLockException e) {
            // Held by this JVM already, through another copy of this class.
        } catch (IOException | RuntimeException e) {
            System.getProperties().remove(key);
            throw new IOException("could not mark " + copy + " as in use (" + e + ")", e);
        }
    }

    private static Path lockOf(Path copy) {
        return copy.resolveSibling(copy.getFileName() + LOCK_SUFFIX);
    }

    /**
     * Removes {@code copy} unless a JVM uses it: this one (by its record) or
     * another (which holds a shared lock on its side file). Removes the side
     * file with it; a copy that cannot be removed (a library in use on
     * Windows) keeps its side file.
     */
    private static void removeUnused(Path copy) {
        if (System.getProperty(IN_USE + copy.toUri()) != null) {
            return;
        }
        Path lock = lockOf(copy);
        if (!Files.exists(lock, LinkOption.NOFOLLOW_LINKS)) {
            deleteQuietly(copy);
            return;
        }
        FileChannel channel;
        try {
            channel = FileChannel.open(lock, StandardOpenOption.WRITE, LinkOption.NOFOLLOW_LINKS);
        } catch (IOException | RuntimeException e) {
            return;
        }
        boolean close = true;
        try {
            FileLock exclusive = channel.tryLock();
            if (exclusive != null) {
                if (deleteQuietly(copy)) {
                    deleteQuietly(lock);
                }
            }
        } catch (OverlappingFileLockException e) {
            // This JVM holds it: closing this channel would drop that lock.
            close = false;
            synchronized (HELD) {
                HELD.add(channel);
            }
        } catch (IOException | RuntimeException e) {
            // In use, or no locks here: left alone.
        } finally {
            if (close) {
                try {
                    channel.close();
                } catch (IOException e) {
                    // Nothing held.
                }
            }
        }
    }

    /**
     * Removes what interrupted starts, other class loaders and older versions
     * left behind: this user's {@code .part} files and per-loader copies in
     * {@code folder} older than ten minutes (a copy is loaded right after it
     * is made; on Windows one that is loaded cannot be removed), and folders
     * of other versions that no start has used for a week, with only the
     * library's files in them. Never {@code keep}, never the library in
     * {@code folder}, never a copy a JVM uses ({@link #holdInUse}), never
     * through a link; anything else is left alone and failures are ignored.
     */
    private void removeStale(Path natives, Path folder, Path keep) {
        long now = System.currentTimeMillis();
        try {
            Files.setLastModifiedTime(folder, FileTime.fromMillis(now));
        } catch (IOException | SecurityException e) {
            // A read-only location: nothing to mark, nothing to clean.
            return;
        }
        try (DirectoryStream<Path> entries = Files.newDirectoryStream(natives)) {
            for (Path entry : entries) {
                if (entry.equals(folder)) {
                    removeOwnFiles(entry, now - STALE_PART_MILLIS, false, keep);
                } else if (isVersionFolder(entry.getFileName().toString())
                        && Files.isDirectory(entry, LinkOption.NOFOLLOW_LINKS)
                        && checks.isOwn(entry)
                        && Files.getLastModifiedTime(entry, LinkOption.NOFOLLOW_LINKS)
                                .toMillis() < now - STALE_FOLDER_MILLIS) {
                    removeOwnFiles(entry, now, true, keep);
                    deleteQuietly(entry);
                }
            }
        } catch (IOException | SecurityException e) {
            // Left for a later start.
        }
    }

    /**
     * Removes this user's regular files in {@code folder} older than
     * {@code before}: temporary files and per-loader copies, and with
     * {@code libraries} the library itself too.
     */
    private void removeOwnFiles(Path folder, long before, boolean libraries, Path keep)
            throws IOException {
        try (DirectoryStream<Path> entries = Files.newDirectoryStream(folder)) {
            for (Path entry : entries) {
                String name = entry.getFileName().toString();
                boolean part = name.endsWith(".part") && isOurs(name, false);
                // A side file whose copy is gone is removed like a copy.
                String copyName = name.endsWith(LOCK_SUFFIX)
                        ? name.substring(0, name.length() - LOCK_SUFFIX.length()) : null;
                boolean orphan = copyName != null && !copyName.endsWith(".part")
                        && isOurs(copyName, libraries)
                        && !Files.exists(entry.resolveSibling(copyName), LinkOption.NOFOLLOW_LINKS);
                if (!entry.equals(keep) && (part || orphan || isOurs(name, libraries))
                        && Files.isRegularFile(entry, LinkOption.NOFOLLOW_LINKS)
                        && checks.isOwn(entry)
                        && Files.getLastModifiedTime(entry, LinkOption.NOFOLLOW_LINKS)
                                .toMillis() < before) {
                    if (part) {
                        deleteQuietly(entry);
                    } else if (orphan) {
                        removeUnused(entry.resolveSibling(copyName));
                    } else {
                        removeUnused(entry);
                    }
                }
            }
        }
    }

    /** A version's folder: {@code [0-9A-Za-z._+-]+-[0-9a-f]{12}}. */
    static boolean isVersionFolder(String name) {
        int dash = name.length() - 13;
        return dash > 0 && name.charAt(dash) == '-' && Text.isVersion(name.substring(0, dash))
                && Text.isHex(name.substring(dash + 1), 12);
    }

    /**
     * A file of ours in a version's folder: a temporary file
     * ({@code (libtarnwick\.so|tarnwick\.dll)\.[0-9]+\.part}), a per-loader copy
     * ({@code (libtarnwick|tarnwick)\.[0-9]+\.(so|dll)}) and, with
     * {@code libraries}, the library itself.
     */
    static boolean isOurs(String name, boolean libraries) {
        if (libraries && (name.equals("libtarnwick.so") || name.equals("tarnwick.dll"))) {
            return true;
        }
        for (String library : new String[] {"libtarnwick.so.", "tarnwick.dll."}) {
            if (Text.isNumbered(name, library, ".part")) {
                return true;
            }
        }
        for (String stem : new String[] {"libtarnwick.", "tarnwick."}) {
            for (String extension : new String[] {".so", ".dll"}) {
                if (Text.isNumbered(name, stem, extension)) {
                    return true;
                }
            }
        }
        return false;
    }

    /**
     * Deletes {@code path} if it can: a file an antivirus program holds open,
     * a library in use on Windows or a folder with other files in it stays for
     * a later start.
     */
    private static boolean deleteQuietly(Path path) {
        try {
            Files.deleteIfExists(path);
            return true;
        } catch (IOException | SecurityException e) {
            LOG.log(System.Logger.Level.DEBUG, "tarnwick leaves " + path + " for a later start: "
                    + e);
            return false;
        }
    }

    /**
     * Makes {@code target} a second name of {@code file} unless something is
     * there already; the check and the link are one step. False when a file
     * was there or the file system has no hard links.
     */
    static boolean linkUnlessPresent(Path file, Path target) {
        try {
            Files.createLink(target, file);
            return true;
        } catch (IOException | UnsupportedOperationException | SecurityException e) {
            return false;
        }
    }

    /** The file's SHA-256, or "" when there is no regular file (a link is none). */
    static String hashOf(Path file) throws IOException {
        if (!Files.isRegularFile(file, LinkOption.NOFOLLOW_LINKS)) {
            return "";
        }
        try (InputStream in = Files.newInputStream(file, LinkOption.NOFOLLOW_LINKS)) {
            return NativeLibraryExtractor.sha256(in.readAllBytes());
        }
    }
}

package tarnwick.natives;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.AccessDeniedException;
import java.nio.file.DirectoryStream;
import java.nio.file.FileAlreadyExistsException;
import java.nio.file.FileSystemException;
import java.nio.file.NoSuchFileException;
import java.nio.file.NotDirectoryException;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.regex.Pattern;

/**
 * Where the copy may go: the first of these that passes the checks.
 * <ol>
 *   <li>the game directory the mod names;
 *   <li>the user's cache ({@code $XDG_CACHE_HOME}, else {@code ~/.cache}; on
 *       Windows {@code %LOCALAPPDATA%});
 *   <li>this user's own owner-only directory in {@code java.io.tmpdir}, which
 *       every user shares: {@code tarnwick-<user>}, or, when someone else took
 *       that name or it is open to others, a fresh {@code tarnwick-<user>.<digits>}.
 * </ol>
 * A location that fails is logged with its reason, and so is the one used,
 * with the reasons the ones before it were not.
 */
final class Locations {
    private static final System.Logger LOG = System.getLogger("tarnwick.natives");

    private final PathChecks checks;
    private final Path gameDirectory;
    private final Path cache;
    private final Path temporary;
    private final String user;

    /**
     * @param gameDirectory the directory the mod names, or null
     * @param cache the user's cache, or null when the environment names none
     * @param temporary the shared temporary directory ({@code java.io.tmpdir})
     * @param user this user's name, for the directory in {@code temporary}
     */
    Locations(PathChecks checks, Path gameDirectory, Path cache, Path temporary, String user) {
        this.checks = checks;
        this.gameDirectory = gameDirectory == null ? null
                : gameDirectory.toAbsolutePath().normalize();
        this.cache = cache;
        this.temporary = temporary.toAbsolutePath().normalize();
        this.user = user;
    }

    /** The user's own cache directory, or null when the environment names none. */
    static Path userCache(boolean windows, java.nio.file.FileSystem fileSystem) {
        String configured = System.getenv(windows ? "LOCALAPPDATA" : "XDG_CACHE_HOME");
        if (configured != null && !configured.isEmpty()
                && fileSystem.getPath(configured).isAbsolute()) {
            return fileSystem.getPath(configured).normalize();
        }
        String home = System.getProperty("user.home");
        return windows || home == null || home.isEmpty() || !fileSystem.getPath(home).isAbsolute()
                ? null : fileSystem.getPath(home, ".cache").normalize();
    }

    /**
     * Puts a verified copy for {@code loader} in the first location that
     * passes and returns its path.
     *
     * @throws IOException naming every location tried and why it failed
     */
    Path place(Installer installer, String loader) throws IOException {
        List<String> failures = new ArrayList<>();
        List<Throwable> causes = new ArrayList<>();
        String[] names = {"the game directory", "the user's cache", "java.io.tmpdir"};
        Path[] bases = {gameDirectory, cache, temporary};
        for (int i = 0; i < names.length; i++) {
            if (bases[i] == null) {
                continue;
            }
            try {
                Path home = i == 2 ? privateDirectory(temporary.resolve(privateName()))
                                   : checks.createDirectoriesChecked(bases[i]);
                Path library = installer.installUnder(home, loader);
                LOG.log(System.Logger.Level.INFO, "tarnwick's native library is " + library
                        + ", in " + names[i] + (failures.isEmpty() ? ""
                                : "; not used: " + String.join("; ", failures)));
                return library;
            } catch (IOException | SecurityException e) {
                failures.add(names[i] + ": " + describe(e));
                causes.add(e);
                LOG.log(System.Logger.Level.INFO, "tarnwick does not put its native library in "
                        + names[i] + ": " + describe(e)
                        + (i < names.length - 1 ? "; trying the next location" : ""));
            }
        }
        IOException failure = new IOException("tarnwick could not put its native library "
                + installer.library() + " (SHA-256 " + installer.expected() + ") anywhere safe:\n  in "
                + String.join("\n  in ", failures));
        for (Throwable cause : causes) {
            failure.addSuppressed(cause);
        }
        throw failure;
    }

    /**
     * This user's directory name in the shared temporary directory:
     * {@code tarnwick-<user name>}, with the user name folded to ASCII and,
     * where that changed it, a hash of the full name so that two users do
     * not share one name.
     */
    private String privateName() {
        String folded = user.replaceAll("[^A-Za-z0-9._-]", "_");
        return "tarnwick-" + folded + (folded.equals(user) ? ""
                : "-" + NativeLibraryExtractor.sha256(user.getBytes(StandardCharsets.UTF_8))
                        .substring(0, 8));
    }

    /**
     * The owner-only directory {@code wanted}, or another of this user's
     * beside it: one from an earlier start, else a fresh one.
     */
    private Path privateDirectory(Path wanted) throws IOException {
        Path parent = checks.createDirectoriesChecked(wanted.getParent());
        Path real = parent.resolve(wanted.getFileName().toString());
        String why;
        try {
            return ownerOnly(real);
        } catch (IOException e) {
            why = describe(e);
        }
        // Someone else's, or open to others: never used.
        Path chosen = null;
        String prefix = real.getFileName() + ".";
        Pattern earlier = Pattern.compile(Pattern.quote(prefix) + "[0-9]+");
        try (DirectoryStream<Path> entries = java.nio.file.Files.newDirectoryStream(parent)) {
            for (Path entry : entries) {
                if (chosen == null && earlier.matcher(entry.getFileName().toString()).matches()
                        && checks.isOwnerOnly(entry)) {
                    chosen = entry;
                }
            }
        }
        if (chosen == null) {
            chosen = checks.createFreshDirectory(parent, prefix);
        }
        LOG.log(System.Logger.Level.WARNING, "tarnwick does not use " + real
                + " for its native library: " + why + ". Using " + chosen + " instead.");
        return chosen;
    }

    /**
     * Creates {@code directory} owner-only unless it exists; one of this
     * user's that nobody else could write but others could read is made
     * owner-only. Fails when it is someone else's or others could write it.
     */
    private Path ownerOnly(Path directory) throws IOException {
        try {
            checks.createOwnerOnly(directory);
        } catch (FileAlreadyExistsException e) {
            // Checked below.
        }
        if (!checks.isOwnerOnly(directory)) {
            checks.require(directory, PathChecks.Role.DIRECTORY);
            if (!checks.isOwn(directory)) {
                throw new IOException(directory + " is not this user's own directory");
            }
            checks.makeOwnerOnly(directory);
            if (!checks.isOwnerOnly(directory)) {
                throw new IOException(directory + " could not be made this user's alone");
            }
        }
        return directory;
    }

    /** A failure in words: the file system's exceptions often carry only the path. */
    static String describe(Exception e) {
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
}

package tarnwick.natives;

import java.io.IOError;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.AccessDeniedException;
import java.nio.file.DirectoryStream;
import java.nio.file.FileAlreadyExistsException;
import java.nio.file.FileSystemException;
import java.nio.file.InvalidPathException;
import java.nio.file.NoSuchFileException;
import java.nio.file.NotDirectoryException;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.function.Consumer;
import java.util.regex.Pattern;

/**
 * Where the copy may go: the first of these that passes the checks.
 * <ol>
 *   <li>the game directory the mod names;
 *   <li>the user's cache: {@code $XDG_CACHE_HOME} when it is an absolute path;
 *       when that is refused, or on the way there, {@code ~/.cache}; on
 *       Windows {@code %LOCALAPPDATA%};
 *   <li>this user's own owner-only directory in {@code java.io.tmpdir}, which
 *       every user shares: {@code tarnwick-<user>}, or, when someone else took
 *       that name or it is open to others, a fresh {@code tarnwick-<user>.<digits>}.
 * </ol>
 * When the caller loads the copy through {@link #place(Installer, String, Consumer)},
 * a copy the system will not run where it is (a file system mounted
 * {@code noexec}) sends it on to the next location too. A location that
 * fails is logged with its reason, and so is the one used, with the reasons
 * the ones before it were not. A value from the environment that this JVM
 * cannot even express as a path is a location refused, never an exception.
 */
final class Locations {
    private static final System.Logger LOG = System.getLogger("tarnwick.natives");

    /** One place the copy may go: a directory, or why the environment gave none usable. */
    static final class Base {
        final String name;
        final Path path;
        final String refused;
        /** Shared with every user: the copy goes into a private directory in it. */
        final boolean shared;

        private Base(String name, Path path, String refused, boolean shared) {
            this.name = name;
            this.path = path;
            this.refused = refused;
            this.shared = shared;
        }
    }

    private final PathChecks checks;
    private final List<Base> bases;
    private final String user;

    /**
     * @param gameDirectory the directory the mod names, or null
     * @param cache the user's cache, or null when the environment names none
     * @param temporary the shared temporary directory ({@code java.io.tmpdir})
     * @param user this user's name, for the directory in {@code temporary}
     */
    Locations(PathChecks checks, Path gameDirectory, Path cache, Path temporary, String user) {
        this(checks, bases(gameDirectory, cache, temporary), user);
    }

    private Locations(PathChecks checks, List<Base> bases, String user) {
        this.checks = checks;
        this.bases = bases;
        this.user = user;
    }

    private static List<Base> bases(Path gameDirectory, Path cache, Path temporary) {
        List<Base> bases = new ArrayList<>();
        if (gameDirectory != null) {
            bases.add(new Base(GAME, gameDirectory.toAbsolutePath().normalize(), null, false));
        }
        if (cache != null) {
            bases.add(new Base(CACHE, cache, null, false));
        }
        bases.add(new Base(TEMPORARY, temporary.toAbsolutePath().normalize(), null, true));
        return bases;
    }

    private static final String GAME = "the game directory";
    private static final String CACHE = "the user's cache";
    private static final String DEFAULT_CACHE = "the user's default cache (~/.cache)";
    private static final String TEMPORARY = "java.io.tmpdir";

    /**
     * The locations the environment names, in order: {@code gameDirectory}
     * (null: none), the configured cache ({@code $XDG_CACHE_HOME}, or on
     * Windows {@code %LOCALAPPDATA%}; null or empty: none, and a relative one
     * is refused, as the XDG rules ignore it), then on POSIX
     * {@code <home>/.cache}, then {@code temporary}. A relative home or
     * temporary directory is refused too: where it leads depends on where the
     * game was started. An empty value, or one that {@code fileSystem} cannot
     * express as a path (a name this JVM's file name encoding has no
     * characters for, under a C locale), is kept as a location refused, with
     * the reason.
     */
    static Locations forEnvironment(PathChecks checks, java.nio.file.FileSystem fileSystem,
            boolean windows, Path gameDirectory, String configuredCache, String home,
            String temporary, String user) {
        List<Base> bases = new ArrayList<>();
        if (gameDirectory != null) {
            bases.add(base(GAME, fileSystem, gameDirectory, null, null, null, false));
        }
        String variable = windows ? "LOCALAPPDATA" : "XDG_CACHE_HOME";
        Base configured = null;
        if (configuredCache != null && !configuredCache.isEmpty()) {
            configured = base(CACHE, fileSystem, null, configuredCache, variable, null, false);
            bases.add(configured);
        }
        if (!windows) {
            Base fallback = home == null || home.isEmpty()
                    ? new Base(DEFAULT_CACHE, null, "user.home is empty", false)
                    : base(DEFAULT_CACHE, fileSystem, null, home, "user.home", ".cache", false);
            if (configured == null || configured.path == null
                    || !configured.path.equals(fallback.path)) {
                bases.add(fallback);
            }
        }
        bases.add(temporary == null || temporary.isEmpty()
                ? new Base(TEMPORARY, null, "java.io.tmpdir is empty", true)
                : base(TEMPORARY, fileSystem, null, temporary, TEMPORARY, null, true));
        return new Locations(checks, bases, user);
    }

    /**
     * The base {@code given} is, made absolute, or else the one {@code value}
     * of {@code variable} names, which must be absolute, with {@code child}
     * (when not null) in it; where it cannot be expressed, the reason. Plain
     * code without lambdas: this runs on every start of the game.
     */
    private static Base base(String name, java.nio.file.FileSystem fileSystem, Path given,
            String value, String variable, String child, boolean shared) {
        try {
            Path path;
            if (given != null) {
                path = given.toAbsolutePath().normalize();
            } else {
                path = fileSystem.getPath(value);
                if (!path.isAbsolute()) {
                    throw new IOException(variable + "=\"" + value + "\" is not an absolute path");
                }
                path = path.normalize();
            }
            return new Base(name, child == null ? path : path.resolve(child), null, shared);
        } catch (InvalidPathException e) {
            return new Base(name, null, "\"" + e.getInput() + "\" " + notAPath(e), shared);
        } catch (IOException | IOError | SecurityException e) {
            return new Base(name, null, String.valueOf(e.getMessage()), shared);
        }
    }

    /** Why a value is no path here: the file name encoding that the locale set has no room for it. */
    static String notAPath(InvalidPathException e) {
        return "cannot be a path in this JVM (" + e.getReason() + "; file names are encoded as "
                + System.getProperty("sun.jnu.encoding") + ", set by the locale)";
    }

    /**
     * Puts a verified copy for {@code loader} in the first location that
     * passes and returns its path.
     *
     * @throws IOException naming every location tried and why it failed
     */
    Path place(Installer installer, String loader) throws IOException {
        return place(installer, loader, null);
    }

    /**
     * As {@link #place(Installer, String)}, and hands each copy to
     * {@code load} ({@code System.load} as the caller calls it) until one
     * loads. A load that fails for a reason another location can avoid sends
     * it on to the next location; any other failure of the load is thrown,
     * explained.
     */
    Path place(Installer installer, String loader, Consumer<String> load) throws IOException {
        List<String> failures = new ArrayList<>();
        List<Throwable> causes = new ArrayList<>();
        boolean unloadable = false;
        for (int i = 0; i < bases.size(); i++) {
            Base base = bases.get(i);
            String next = i < bases.size() - 1 ? "; trying the next location" : "";
            if (base.path == null) {
                failures.add(base.name + ": " + base.refused);
                LOG.log(System.Logger.Level.INFO, "tarnwick does not put its native library in "
                        + base.name + ": " + base.refused + next);
                continue;
            }
            Path library;
            try {
                Path home = base.shared
                        ? privateDirectory(base.path.resolve(privateName()))
                        : checks.createDirectoriesChecked(base.path);
                library = installer.installUnder(home, loader);
            } catch (IOException | SecurityException | InvalidPathException e) {
                failures.add(base.name + ": " + describe(e));
                causes.add(e);
                LOG.log(System.Logger.Level.INFO, "tarnwick does not put its native library in "
                        + base.name + ": " + describe(e) + next);
                continue;
            }
            if (load != null) {
                try {
                    load.accept(library.toString());
                } catch (UnsatisfiedLinkError e) {
                    if (!elsewhereMayLoad(e)) {
                        throw NativeLibraryExtractor.explainLoadFailure(e, library);
                    }
                    unloadable = true;
                    String why = library + " does not load from here (" + e.getMessage()
                            + "): the file system does not let code run from it, as one"
                            + " mounted noexec does";
                    failures.add(base.name + ": " + why);
                    causes.add(e);
                    LOG.log(System.Logger.Level.INFO, "tarnwick does not load its native library"
                            + " from " + base.name + ": " + why + next);
                    continue;
                }
            }
            LOG.log(System.Logger.Level.INFO, "tarnwick's native library is " + library
                    + ", in " + base.name + (failures.isEmpty() ? ""
                            : "; not used: " + String.join("; ", failures)));
            return library;
        }
        IOException failure = new IOException("tarnwick could not put its native library "
                + installer.library() + " (SHA-256 " + installer.expected() + ") anywhere safe"
                + (load == null ? "" : " that runs it") + ":\n  in "
                + String.join("\n  in ", failures)
                + (unloadable ? "\nCode may not run where the copies were put: point the game"
                        + " directory, XDG_CACHE_HOME or java.io.tmpdir at a file system that"
                        + " allows it, or name an installed copy of the library in"
                        + " -D" + NativeLibraryExtractor.LIBRARY_PATH_PROPERTY : ""));
        for (Throwable cause : causes) {
            failure.addSuppressed(cause);
        }
        throw failure;
    }

    /**
     * Whether a failed load may work from another location: the system would
     * not map the file for running (noexec: "failed to map segment",
     * "operation not permitted") or refused this path ("permission denied",
     * "access is denied", as a security policy with rules per directory does).
     */
    static boolean elsewhereMayLoad(UnsatisfiedLinkError e) {
        String text = String.valueOf(e.getMessage()).toLowerCase(java.util.Locale.ROOT);
        return text.contains("failed to map segment") || text.contains("operation not permitted")
                || text.contains("permission denied") || text.contains("access is denied");
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

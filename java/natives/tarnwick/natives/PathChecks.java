package tarnwick.natives;

import java.io.IOException;
import java.nio.file.FileAlreadyExistsException;
import java.nio.file.FileSystem;
import java.nio.file.Files;
import java.nio.file.LinkOption;
import java.nio.file.Path;
import java.security.SecureRandom;
import java.util.ArrayList;
import java.util.List;

/**
 * Who may have written a path: the questions the extractor asks before it
 * reuses, creates or hands out anything, answered by the file system's own
 * attributes ({@link PosixChecks} for POSIX modes, {@link WindowsChecks} for
 * Windows owners and ACLs). A path is safe when no user but this one (and the
 * system's own accounts) could have put it there or could change it now.
 */
abstract class PathChecks {
    /** Made on first use: most starts never draw a name, and a SecureRandom costs its set-up. */
    private static final class Random {
        static final SecureRandom RANDOM = new SecureRandom();
    }

    /** What a path is to the copy being checked. */
    enum Role {
        /**
         * A directory above the copy's folder. Others may be allowed to add
         * entries here, but never to remove or rename ours (the sticky bit on
         * POSIX, create-only rights on Windows).
         */
        ANCESTOR,
        /** A directory of ours (the natives folder, the version folder): only this user writes. */
        DIRECTORY,
        /** The library file: only this user writes. */
        FILE
    }

    /** The checks for the file system {@code path} is on, with this process's user. */
    static PathChecks forFileSystem(FileSystem fileSystem) {
        if (fileSystem.supportedFileAttributeViews().contains("posix")) {
            return new PosixChecks(fileSystem);
        }
        if (fileSystem.supportedFileAttributeViews().contains("acl")) {
            return WindowsChecks.forThisUser(fileSystem);
        }
        return new Refusing("the file system does not tell who may write to it");
    }

    /**
     * Why another user could have put {@code path} there or could change it
     * now, or null when none could. Never follows a link at {@code path}.
     */
    abstract String problem(Path path, Role role) throws IOException;

    /** Whether {@code path} (not followed when it is a link) belongs to this user. */
    abstract boolean isOwn(Path path);

    /**
     * Creates one directory that only this user may use, from the start (no
     * umask or inherited right widens it); throws FileAlreadyExistsException
     * when something is there.
     */
    abstract void createOwnerOnly(Path directory) throws IOException;

    /** Creates a new empty file in {@code directory} that only this user may use. */
    abstract Path createOwnerOnlyFile(Path directory, String prefix, String suffix)
            throws IOException;

    /**
     * Makes {@code directory}, one of this user's that nobody else could
     * write, usable by this user alone (shared temporary directories need
     * that: others must not even list them).
     */
    abstract void makeOwnerOnly(Path directory) throws IOException;

    /** Whether {@code directory} is this user's alone: no one else may even read it. */
    abstract boolean isOwnerOnly(Path directory);

    final void require(Path path, Role role) throws IOException {
        String problem = problem(path, role);
        if (problem != null) {
            throw new IOException(problem);
        }
    }

    /**
     * Every directory from the root down to {@code directory}, a real path:
     * the ones above as ancestors, {@code directory} itself as one of ours.
     */
    final void requireSafeDirectories(Path directory) throws IOException {
        List<Path> chain = chain(directory);
        for (int i = 0; i < chain.size(); i++) {
            require(chain.get(i), i == chain.size() - 1 ? Role.DIRECTORY : Role.ANCESTOR);
        }
    }

    /**
     * Makes {@code directory} exist, checking before anything is created: the
     * deepest directory that exists already, and all above it, must pass as
     * ancestors, and each directory created below it is created owner-only and
     * checked as one. Nothing is created under a path that fails. Returns the
     * real path of {@code directory}.
     */
    final Path createDirectoriesChecked(Path directory) throws IOException {
        Path existing = directory;
        List<Path> missing = new ArrayList<>();
        while (existing != null && !Files.exists(existing, LinkOption.NOFOLLOW_LINKS)) {
            missing.add(0, existing.getFileName());
            existing = existing.getParent();
        }
        if (existing == null) {
            throw new IOException(directory + " has no existing directory above it");
        }
        Path current = existing.toRealPath();
        for (Path step : chain(current)) {
            require(step, Role.ANCESTOR);
        }
        for (Path name : missing) {
            current = current.resolve(name.toString());
            try {
                createOwnerOnly(current);
            } catch (FileAlreadyExistsException e) {
                // Made meanwhile, by another start or someone else: checked next.
            }
            require(current, Role.ANCESTOR);
        }
        return current;
    }

    /** Creates {@code directory} owner-only unless it exists; either way it must pass as ours. */
    final Path createDirectory(Path directory) throws IOException {
        try {
            createOwnerOnly(directory);
        } catch (FileAlreadyExistsException e) {
            // Checked below.
        }
        require(directory, Role.DIRECTORY);
        return directory;
    }

    /**
     * Creates a new owner-only directory {@code <prefix><digits>} in
     * {@code parent}, a name nobody else took first.
     */
    final Path createFreshDirectory(Path parent, String prefix) throws IOException {
        for (int attempt = 0; attempt < 100; attempt++) {
            Path candidate = parent.resolve(prefix + Long.toUnsignedString(Random.RANDOM.nextLong()));
            try {
                createOwnerOnly(candidate);
                require(candidate, Role.DIRECTORY);
                return candidate;
            } catch (FileAlreadyExistsException e) {
                // Taken: draw again.
            }
        }
        throw new IOException("no free name " + prefix + "<digits> in " + parent);
    }

    private static List<Path> chain(Path directory) {
        List<Path> chain = new ArrayList<>();
        Path current = directory.getRoot();
        if (current != null) {
            chain.add(current);
        }
        for (Path name : directory) {
            current = current == null ? name : current.resolve(name.toString());
            chain.add(current);
        }
        return chain;
    }

    /** Checks where nothing can be shown to be this user's alone: nothing passes. */
    static final class Refusing extends PathChecks {
        private final String why;

        Refusing(String why) {
            this.why = why;
        }

        @Override
        String problem(Path path, Role role) {
            return path + " cannot be checked: " + why;
        }

        @Override
        boolean isOwn(Path path) {
            return false;
        }

        @Override
        void createOwnerOnly(Path directory) throws IOException {
            throw new IOException(problem(directory, Role.DIRECTORY));
        }

        @Override
        Path createOwnerOnlyFile(Path directory, String prefix, String suffix) throws IOException {
            throw new IOException(problem(directory, Role.DIRECTORY));
        }

        @Override
        void makeOwnerOnly(Path directory) throws IOException {
            throw new IOException(problem(directory, Role.DIRECTORY));
        }

        @Override
        boolean isOwnerOnly(Path directory) {
            return false;
        }
    }
}

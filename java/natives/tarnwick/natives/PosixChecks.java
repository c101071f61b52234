package tarnwick.natives;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.FileSystem;
import java.nio.file.Files;
import java.nio.file.LinkOption;
import java.nio.file.Path;
import java.nio.file.attribute.PosixFileAttributes;
import java.nio.file.attribute.PosixFilePermission;
import java.nio.file.attribute.PosixFilePermissions;
import java.util.Set;

/**
 * Who may have written a path, from its POSIX owner and mode. A path passes
 * when it belongs to this user or to root and neither its group nor anyone
 * else may write it. Group write is refused whatever the group is called: an
 * ACL that lets another user write shows in the mode only as group write
 * (the ACL mask), and Java cannot read the ACL itself, so a private-group
 * directory under a 002 umask cannot be told from one another user may
 * change. Ancestors open to others pass only with the sticky bit, which keeps
 * others from removing or renaming our entries in them, as in {@code /tmp}.
 */
final class PosixChecks extends PathChecks {
    private static final Set<PosixFilePermission> OWNER_ONLY =
            PosixFilePermissions.fromString("rwx------");
    private static final Set<PosixFilePermission> OWNER_ONLY_FILE =
            PosixFilePermissions.fromString("rw-------");

    private final FileSystem fileSystem;
    private Integer uid;

    PosixChecks(FileSystem fileSystem) {
        this.fileSystem = fileSystem;
    }

    /**
     * This process's effective user id, from {@code /proc/self/status} (the
     * owner of {@code /proc/self} is root for a process that is not dumpable,
     * so it cannot serve), else the owner of a file this process creates.
     */
    private int uid() throws IOException {
        if (uid == null) {
            Path status = fileSystem.getPath("/proc/self/status");
            if (Files.isReadable(status)) {
                for (String line : Files.readAllLines(status, StandardCharsets.US_ASCII)) {
                    String[] fields = Text.words(line.trim());
                    if (fields[0].equals("Uid:") && fields.length > 2) {
                        uid = Integer.parseInt(fields[2]);
                    }
                }
            }
            if (uid == null) {
                Path probe = Files.createTempFile("tarnwick-uid", ".probe");
                try {
                    uid = uidOf(probe);
                } finally {
                    Files.deleteIfExists(probe);
                }
            }
        }
        return uid;
    }

    private static int uidOf(Path path) throws IOException {
        Object id = Files.getAttribute(path, "unix:uid", LinkOption.NOFOLLOW_LINKS);
        if (!(id instanceof Integer)) {
            throw new IOException("no user id for " + path);
        }
        return (Integer) id;
    }

    @Override
    String problem(Path path, Role role) throws IOException {
        PosixFileAttributes attributes = Files.readAttributes(path, PosixFileAttributes.class,
                LinkOption.NOFOLLOW_LINKS);
        if (attributes.isSymbolicLink()) {
            return path + " is a symbolic link";
        }
        boolean directory = role != Role.FILE;
        if (directory ? !attributes.isDirectory() : !attributes.isRegularFile()) {
            return path + " is not a " + (directory ? "directory" : "regular file");
        }
        int owner = uidOf(path);
        if (owner != uid() && owner != 0) {
            return path + " belongs to " + attributes.owner().getName() + ", not to this user ("
                    + nameOf(uid()) + ")";
        }
        Set<PosixFilePermission> mode = attributes.permissions();
        boolean sticky = role == Role.ANCESTOR && isSticky(path);
        if (mode.contains(PosixFilePermission.OTHERS_WRITE) && !sticky) {
            return path + " is writable by every user (mode " + PosixFilePermissions.toString(mode)
                    + ")";
        }
        if (mode.contains(PosixFilePermission.GROUP_WRITE) && !sticky) {
            return path + " is writable by the group " + attributes.group().getName()
                    + " or by users an ACL names (mode " + PosixFilePermissions.toString(mode)
                    + ")";
        }
        return null;
    }

    private String nameOf(int id) {
        return id == 0 ? "root" : "uid " + id;
    }

    @Override
    boolean isOwn(Path path) {
        try {
            return uidOf(path) == uid();
        } catch (IOException | SecurityException | UnsupportedOperationException e) {
            return false;
        }
    }

    @Override
    void createOwnerOnly(Path directory) throws IOException {
        Files.createDirectory(directory, PosixFilePermissions.asFileAttribute(OWNER_ONLY));
    }

    @Override
    Path createOwnerOnlyFile(Path directory, String prefix, String suffix) throws IOException {
        return Files.createTempFile(directory, prefix, suffix,
                PosixFilePermissions.asFileAttribute(OWNER_ONLY_FILE));
    }

    @Override
    void makeOwnerOnly(Path directory) throws IOException {
        Files.setPosixFilePermissions(directory, OWNER_ONLY);
    }

    @Override
    boolean isOwnerOnly(Path directory) {
        try {
            PosixFileAttributes attributes = Files.readAttributes(directory,
                    PosixFileAttributes.class, LinkOption.NOFOLLOW_LINKS);
            return attributes.isDirectory() && isOwn(directory)
                    && attributes.permissions().equals(OWNER_ONLY);
        } catch (IOException | SecurityException e) {
            return false;
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

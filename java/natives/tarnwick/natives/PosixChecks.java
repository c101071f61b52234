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
    private final Path mountInfo;
    private Integer uid;

    PosixChecks(FileSystem fileSystem) {
        this(fileSystem, null, fileSystem.getPath("/proc/self/mountinfo"));
    }

    /**
     * Checks made for the user {@code uid} (null: this process's user), with
     * the mounts read from {@code mountInfo}, in the format of
     * {@code /proc/self/mountinfo}. Tests name another user here so that the
     * owner and mode rules are tried as someone other than root.
     */
    PosixChecks(FileSystem fileSystem, Integer uid, Path mountInfo) {
        this.fileSystem = fileSystem;
        this.uid = uid;
        this.mountInfo = mountInfo;
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
        String mount = daemonMountProblem(path);
        if (mount != null) {
            return mount;
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

    /**
     * Why the mount {@code path} is on proves nothing about who wrote it, or
     * null. On most file systems the kernel keeps each file's owner and
     * enforces the mode, so the checks above are the truth. On FUSE
     * ({@code fuse}, {@code fuseblk}, {@code fuse.<name>}) a user-space
     * daemon reports owners and modes and serves the bytes as it likes: only
     * the user who mounted it (its {@code user_id=} option) controls what
     * comes back, so such a mount passes only when that is this user or root.
     * FUSE is the one file system an ordinary user can mount where another
     * user's processes see it (through the setuid {@code fusermount}); network
     * and virtual machine file systems whose servers also report owners
     * (NFS, CIFS, 9p, virtiofs) need root to mount, or an entry root wrote in
     * {@code /etc/fstab}, so root vouches for them. Nobody can mount over
     * one of our own directories: {@code fusermount} wants the mount point
     * writable by the one who mounts, and only this user may write ours.
     * Without a readable mount table nothing is refused here: that is not
     * Linux, or {@code /proc} is hidden, and FUSE has no other trace.
     */
    private String daemonMountProblem(Path path) throws IOException {
        if (!Files.isReadable(mountInfo)) {
            return null;
        }
        String best = null;
        String type = null;
        String options = null;
        String target = path.toString();
        String table = new String(Files.readAllBytes(mountInfo), StandardCharsets.UTF_8);
        for (String line : table.split("\n")) {
            // id parent major:minor root mount-point options [optional...] - type source super-options
            String[] fields = line.split(" ");
            int dash = java.util.Arrays.asList(fields).indexOf("-");
            if (dash < 6 || dash + 1 >= fields.length) {
                continue;
            }
            String point = unescape(fields[4]);
            boolean under = target.equals(point) || point.equals("/")
                    || target.startsWith(point + "/");
            // Later lines are mounted over earlier ones: the last of the longest wins.
            if (under && (best == null || point.length() >= best.length())) {
                best = point;
                type = fields[dash + 1];
                options = dash + 3 < fields.length ? fields[dash + 3] : "";
            }
        }
        if (type == null || !(type.equals("fuse") || type.equals("fuseblk")
                || type.startsWith("fuse."))) {
            return null;
        }
        String owner = null;
        for (String option : options.split(",")) {
            if (option.startsWith("user_id=")) {
                owner = option.substring("user_id=".length());
            }
        }
        if (owner != null && (owner.equals("0") || owner.equals(String.valueOf(uid())))) {
            return null;
        }
        return path + " is on the " + type + " file system mounted at " + best + " by "
                + (owner == null ? "an unknown user" : "uid " + owner)
                + ", not by this user (" + nameOf(uid()) + ") or root: its daemon, not the"
                + " kernel, reports its owners and serves its bytes";
    }

    /** A mount point as the mount table writes it, with its octal escapes ({@code \040}) undone. */
    private static String unescape(String field) {
        if (field.indexOf('\\') < 0) {
            return field;
        }
        java.io.ByteArrayOutputStream bytes = new java.io.ByteArrayOutputStream();
        byte[] raw = field.getBytes(StandardCharsets.UTF_8);
        for (int i = 0; i < raw.length; i++) {
            if (raw[i] == '\\' && i + 3 < raw.length && isOctal(raw[i + 1])
                    && isOctal(raw[i + 2]) && isOctal(raw[i + 3])) {
                bytes.write((raw[i + 1] - '0') * 64 + (raw[i + 2] - '0') * 8 + raw[i + 3] - '0');
                i += 3;
            } else {
                bytes.write(raw[i]);
            }
        }
        return new String(bytes.toByteArray(), StandardCharsets.UTF_8);
    }

    private static boolean isOctal(byte b) {
        return b >= '0' && b <= '7';
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

package tarnwick.natives;

import java.io.IOException;
import java.nio.file.FileSystem;
import java.nio.file.Files;
import java.nio.file.LinkOption;
import java.nio.file.Path;
import java.nio.file.attribute.AclEntry;
import java.nio.file.attribute.AclEntryFlag;
import java.nio.file.attribute.AclEntryPermission;
import java.nio.file.attribute.AclEntryType;
import java.nio.file.attribute.AclFileAttributeView;
import java.nio.file.attribute.BasicFileAttributes;
import java.nio.file.attribute.FileAttribute;
import java.nio.file.attribute.UserPrincipal;
import java.nio.file.attribute.UserPrincipalLookupService;
import java.util.ArrayList;
import java.util.Collections;
import java.util.EnumSet;
import java.util.List;
import java.util.Set;
import java.util.TreeSet;

/**
 * Who may have written a path, from its Windows owner and ACL. A path passes
 * when:
 * <ul>
 *   <li>it is no reparse point (symbolic link or junction);
 *   <li>its owner is this user or one of the system's own accounts (SYSTEM,
 *       Administrators, TrustedInstaller), who could change anything anyway;
 *   <li>no ALLOW entry that applies to the object itself (inherit-only
 *       entries are skipped: they only shape what is created below) gives
 *       anyone else a right that changes what is loaded: write or append
 *       data, delete, delete child, write the ACL or the owner. On an
 *       ancestor, others may add files and folders (write and append data,
 *       as {@code C:\} lets Authenticated Users) but not delete, rename or
 *       re-permission ours: Windows' counterpart of the sticky bit.
 * </ul>
 * DENY entries are not weighed: an ALLOW entry for someone else is refused
 * even where a DENY before it would win, so the check errs towards refusing.
 * A group this user belongs to counts as someone else, since others may
 * belong to it too.
 */
final class WindowsChecks extends PathChecks {
    /** Rights that let their holder change what is at a path we load from. */
    private static final Set<AclEntryPermission> CHANGES = Collections.unmodifiableSet(EnumSet.of(
            AclEntryPermission.WRITE_DATA, AclEntryPermission.APPEND_DATA,
            AclEntryPermission.DELETE, AclEntryPermission.DELETE_CHILD,
            AclEntryPermission.WRITE_ACL, AclEntryPermission.WRITE_OWNER));
    /** What others may hold on an ancestor: creating files and folders there. */
    private static final Set<AclEntryPermission> CREATE_ONLY = Collections.unmodifiableSet(
            EnumSet.of(AclEntryPermission.WRITE_DATA, AclEntryPermission.APPEND_DATA));
    /** The system's own accounts, by the names Windows gives them. */
    static final List<String> SYSTEM_ACCOUNTS = List.of(
            "NT AUTHORITY\\SYSTEM", "BUILTIN\\Administrators", "NT SERVICE\\TrustedInstaller");

    private final UserPrincipal user;
    private final List<UserPrincipal> trusted;

    /**
     * The checks for {@code user}, trusting the owners in {@code system} too.
     * Tests give an in-memory file system's principals here.
     */
    WindowsChecks(UserPrincipal user, List<UserPrincipal> system) {
        this.user = user;
        List<UserPrincipal> all = new ArrayList<>(system);
        all.add(user);
        this.trusted = Collections.unmodifiableList(all);
    }

    /**
     * This process's user (looked up by {@code user.name}) and the system
     * accounts the file system's lookup service knows; an account it cannot
     * find (another language's name for it) is not trusted.
     */
    static PathChecks forThisUser(FileSystem fileSystem) {
        UserPrincipalLookupService lookup = fileSystem.getUserPrincipalLookupService();
        UserPrincipal user;
        try {
            user = lookup.lookupPrincipalByName(System.getProperty("user.name"));
        } catch (IOException | SecurityException | UnsupportedOperationException e) {
            return new PathChecks.Refusing("this user (" + System.getProperty("user.name")
                    + ") cannot be looked up: " + e);
        }
        List<UserPrincipal> system = new ArrayList<>();
        for (String name : SYSTEM_ACCOUNTS) {
            try {
                system.add(lookup.lookupPrincipalByName(name));
            } catch (IOException | SecurityException e) {
                // Not trusted, then.
            }
        }
        return new WindowsChecks(user, system);
    }

    @Override
    String problem(Path path, Role role) throws IOException {
        BasicFileAttributes attributes = Files.readAttributes(path, BasicFileAttributes.class,
                LinkOption.NOFOLLOW_LINKS);
        if (attributes.isSymbolicLink() || attributes.isOther()) {
            return path + " is a link or junction (a reparse point)";
        }
        boolean directory = role != Role.FILE;
        if (directory ? !attributes.isDirectory() : !attributes.isRegularFile()) {
            return path + " is not a " + (directory ? "directory" : "regular file");
        }
        AclFileAttributeView view = Files.getFileAttributeView(path, AclFileAttributeView.class,
                LinkOption.NOFOLLOW_LINKS);
        if (view == null) {
            return path + " has no ACL to check";
        }
        UserPrincipal owner = view.getOwner();
        if (!trusted.contains(owner)) {
            return path + " belongs to " + owner.getName() + ", not to " + user.getName();
        }
        for (AclEntry entry : view.getAcl()) {
            if (entry.type() != AclEntryType.ALLOW
                    || entry.flags().contains(AclEntryFlag.INHERIT_ONLY)
                    || trusted.contains(entry.principal())) {
                continue;
            }
            Set<AclEntryPermission> granted = EnumSet.noneOf(AclEntryPermission.class);
            granted.addAll(entry.permissions());
            granted.retainAll(CHANGES);
            if (role == Role.ANCESTOR) {
                granted.removeAll(CREATE_ONLY);
            }
            if (!granted.isEmpty()) {
                Set<String> names = new TreeSet<>();
                for (AclEntryPermission permission : granted) {
                    names.add(permission.name());
                }
                return path + " lets " + entry.principal().getName() + " change it ("
                        + String.join(", ", names) + ")";
            }
        }
        return null;
    }

    @Override
    boolean isOwn(Path path) {
        try {
            return Files.getOwner(path, LinkOption.NOFOLLOW_LINKS).equals(user);
        } catch (IOException | SecurityException | UnsupportedOperationException e) {
            return false;
        }
    }

    /** Full control for this user alone, inherited by what is created below. */
    private FileAttribute<List<AclEntry>> ownerOnly() {
        AclEntry entry = AclEntry.newBuilder().setType(AclEntryType.ALLOW).setPrincipal(user)
                .setPermissions(EnumSet.allOf(AclEntryPermission.class))
                .setFlags(AclEntryFlag.FILE_INHERIT, AclEntryFlag.DIRECTORY_INHERIT).build();
        List<AclEntry> acl = List.of(entry);
        return new FileAttribute<List<AclEntry>>() {
            @Override
            public String name() {
                return "acl:acl";
            }

            @Override
            public List<AclEntry> value() {
                return acl;
            }
        };
    }

    /**
     * Creates the directory with an owner-only ACL, then sets that ACL again:
     * Windows merges the parent's inheritable entries into the one given at
     * creation, and setting it afterwards leaves only ours. A file system that
     * takes no ACL at creation gets it right after.
     */
    @Override
    void createOwnerOnly(Path directory) throws IOException {
        try {
            Files.createDirectory(directory, ownerOnly());
        } catch (UnsupportedOperationException e) {
            Files.createDirectory(directory);
        }
        makeOwnerOnly(directory);
    }

    @Override
    Path createOwnerOnlyFile(Path directory, String prefix, String suffix) throws IOException {
        Path file;
        try {
            file = Files.createTempFile(directory, prefix, suffix, ownerOnly());
        } catch (UnsupportedOperationException e) {
            file = Files.createTempFile(directory, prefix, suffix);
        }
        makeOwnerOnly(file);
        return file;
    }

    @Override
    void makeOwnerOnly(Path path) throws IOException {
        AclFileAttributeView view = Files.getFileAttributeView(path, AclFileAttributeView.class,
                LinkOption.NOFOLLOW_LINKS);
        if (view == null) {
            throw new IOException(path + " has no ACL to set");
        }
        view.setAcl(ownerOnly().value());
    }

    @Override
    boolean isOwnerOnly(Path directory) {
        try {
            AclFileAttributeView view = Files.getFileAttributeView(directory,
                    AclFileAttributeView.class, LinkOption.NOFOLLOW_LINKS);
            if (view == null || !Files.isDirectory(directory, LinkOption.NOFOLLOW_LINKS)
                    || !view.getOwner().equals(user)) {
                return false;
            }
            for (AclEntry entry : view.getAcl()) {
                if (entry.type() == AclEntryType.ALLOW
                        && !entry.flags().contains(AclEntryFlag.INHERIT_ONLY)
                        && !trusted.contains(entry.principal())) {
                    return false;
                }
            }
            return problem(directory, Role.DIRECTORY) == null;
        } catch (IOException | SecurityException e) {
            return false;
        }
    }
}

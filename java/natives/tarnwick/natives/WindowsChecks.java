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
import java.nio.file.attribute.GroupPrincipal;
import java.nio.file.attribute.UserPrincipal;
import java.util.Collections;
import java.util.EnumSet;
import java.util.List;
import java.util.Set;
import java.util.TreeSet;

/**
 * Who may have written a path, from its Windows owner and ACL. Accounts are
 * told apart by SID, never by name: this user is the account of the process
 * token, and the system's own accounts are known by their well-known SIDs,
 * whatever the display language calls them. A path passes when:
 * <ul>
 *   <li>it is no reparse point (symbolic link or junction);
 *   <li>its owner is this user or one of the system's own accounts (SYSTEM,
 *       Administrators, TrustedInstaller), who could change anything anyway;
 *   <li>it shows at least one ACL entry: Java reads a NULL DACL, which lets
 *       everyone do anything, as an empty list, and cannot tell it from an
 *       empty DACL, so neither passes (everything created here has entries);
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
 *
 * <p>Others' WRITE_ATTRIBUTES and WRITE_NAMED_ATTRS are not weighed either.
 * The first sets times and the read-only, hidden and system flags; the second
 * writes extended attributes. Neither changes a byte that is loaded: the file
 * data, its name and its ACL stay as they are, and every start compares the
 * copy's SHA-256 with the jar's. Alternate data streams ({@code file:name})
 * are written with WRITE_DATA on the file, which is refused.
 *
 * <p>The JDK shows only plain allow and deny entries; object and conditional
 * (callback) entries are left out of the list it returns, so they are not
 * weighed. Only an owner, who must be this user or the system, can add them.
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
    /**
     * The system's own accounts by their well-known SIDs: SYSTEM,
     * Administrators and TrustedInstaller (its service SID, derived from the
     * service name and the same on every machine). LocalService and
     * NetworkService (S-1-5-19, S-1-5-20) are not among them: they hold no
     * rights on the folders used here, and code running as them is neither
     * this user nor someone who could change everything anyway.
     */
    static final Set<String> SYSTEM_SIDS = Set.of("S-1-5-18", "S-1-5-32-544",
            "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464");

    /**
     * Who the accounts are: the process token's user, and the SID of each
     * principal the file system reports. Tests give an in-memory file
     * system's principals SIDs here.
     */
    interface Accounts {
        /** The SID of the process token's user. */
        String tokenUserSid() throws IOException;

        /** The token user's name as the system gives it for that SID: {@code DOMAIN\name}. */
        String tokenUserName() throws IOException;

        /** The SID of {@code principal}, or null when it cannot be told. */
        String sid(UserPrincipal principal);
    }

    private final UserPrincipal user;
    private final Accounts accounts;

    /** The checks for {@code user}, this process's account, telling the others by SID. */
    WindowsChecks(UserPrincipal user, Accounts accounts) {
        this.user = user;
        this.accounts = accounts;
    }

    /** The checks for this process's account, read from its token. */
    static PathChecks forThisUser(FileSystem fileSystem) {
        Accounts accounts;
        try {
            accounts = ProcessToken.read();
        } catch (ReflectiveOperationException | LinkageError | RuntimeException e) {
            return new PathChecks.Refusing("this process's account cannot be read from its"
                    + " token (the module jdk.security.auth is needed): " + e);
        }
        return forAccounts(fileSystem, accounts);
    }

    /**
     * The checks for the token user of {@code accounts}: its name, as the
     * system gives it for the token's SID, is looked up and must come back as
     * that SID. {@code user.name} plays no part.
     */
    static PathChecks forAccounts(FileSystem fileSystem, Accounts accounts) {
        String name = "?";
        try {
            String sid = accounts.tokenUserSid();
            name = accounts.tokenUserName();
            UserPrincipal user = fileSystem.getUserPrincipalLookupService()
                    .lookupPrincipalByName(name);
            if (!sid.equals(accounts.sid(user))) {
                return new PathChecks.Refusing("this process's account " + sid + " looked up as "
                        + name + " is another account (" + accounts.sid(user) + ")");
            }
            return new WindowsChecks(user, accounts);
        } catch (IOException | SecurityException | UnsupportedOperationException e) {
            return new PathChecks.Refusing("this process's account (" + name
                    + ") cannot be looked up: " + e);
        }
    }

    /**
     * The accounts as the JDK's Windows provider shows them. The token's user
     * comes from {@code com.sun.security.auth.module.NTSystem} (module
     * jdk.security.auth), which reads the process token, or the thread's when
     * it impersonates. It works on Windows only, and a runtime may lack the
     * module; reached by reflection, its absence refuses instead of failing.
     *
     * <p>The provider's principals hold their SID and compare by it, but hand
     * it out only as their hash code, which is the SID string's. So a
     * principal is taken for one of the few SIDs asked about here (the
     * token user's and {@link #SYSTEM_SIDS}) when its hash is that SID's,
     * and for a system account only when it is a group, as all of those
     * are. Which SID an account gets is up to Windows, not to its holder: a
     * user cannot make their own account match one of these.
     */
    static final class ProcessToken implements Accounts {
        private final String sid;
        private final String name;

        ProcessToken(String sid, String name) {
            this.sid = sid;
            this.name = name;
        }

        static ProcessToken read() throws ReflectiveOperationException {
            Class<?> type = Class.forName("com.sun.security.auth.module.NTSystem");
            Object token = type.getConstructor().newInstance();
            String sid = (String) type.getMethod("getUserSID").invoke(token);
            String domain = (String) type.getMethod("getDomain").invoke(token);
            String name = (String) type.getMethod("getName").invoke(token);
            if (sid == null || name == null) {
                throw new ReflectiveOperationException("the token shows no user");
            }
            return new ProcessToken(sid, domain == null || domain.isEmpty() ? name
                    : domain + "\\" + name);
        }

        @Override
        public String tokenUserSid() {
            return sid;
        }

        @Override
        public String tokenUserName() {
            return name;
        }

        @Override
        public String sid(UserPrincipal principal) {
            int hash = principal.hashCode();
            if (principal instanceof GroupPrincipal) {
                for (String system : SYSTEM_SIDS) {
                    if (system.hashCode() == hash) {
                        return system;
                    }
                }
                return null;
            }
            return sid.hashCode() == hash ? sid : null;
        }
    }

    /** This user, or one of the system's own accounts by SID. */
    private boolean trusted(UserPrincipal principal) {
        return user.equals(principal) || SYSTEM_SIDS.contains(accounts.sid(principal));
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
        if (!trusted(owner)) {
            return path + " belongs to " + owner.getName() + ", not to " + user.getName();
        }
        List<AclEntry> acl = view.getAcl();
        if (acl.isEmpty()) {
            return path + " shows no ACL entries (a NULL DACL, which lets everyone in, reads so)";
        }
        for (AclEntry entry : acl) {
            if (entry.type() != AclEntryType.ALLOW
                    || entry.flags().contains(AclEntryFlag.INHERIT_ONLY)
                    || trusted(entry.principal())) {
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
     * Creates the directory with the owner-only ACL given to the creation
     * itself, then sets that ACL again. Windows merges the parent's
     * inheritable entries into an ACL given at creation (the JDK cannot mark
     * it protected), and setting it afterwards leaves only ours. So between
     * the two, what the parent passes on to new folders applies, and a handle
     * opened in that moment keeps those rights. That is why a parent that
     * would pass on WRITE_ACL or WRITE_OWNER to anyone else is not created
     * in: such a handle could re-permission the folder later. What remains
     * (on {@code C:\}, Authenticated Users' Modify: delete or rename the
     * folder, add entries to it) leaves a folder that is gone, or entries of
     * theirs, both of which the checks refuse. Below our own folders nothing
     * is passed on to others, and there is no such moment. A file system
     * that takes no ACL at creation gets it right after.
     */
    @Override
    void createOwnerOnly(Path directory) throws IOException {
        requireNothingPassedOn(directory.getParent(), AclEntryFlag.DIRECTORY_INHERIT);
        try {
            Files.createDirectory(directory, ownerOnly());
        } catch (UnsupportedOperationException e) {
            Files.createDirectory(directory);
        }
        makeOwnerOnly(directory);
    }

    @Override
    Path createOwnerOnlyFile(Path directory, String prefix, String suffix) throws IOException {
        requireNothingPassedOn(directory, AclEntryFlag.FILE_INHERIT);
        Path file;
        try {
            file = Files.createTempFile(directory, prefix, suffix, ownerOnly());
        } catch (UnsupportedOperationException e) {
            file = Files.createTempFile(directory, prefix, suffix);
        }
        makeOwnerOnly(file);
        return file;
    }

    /**
     * Throws when {@code parent} passes on to what is created in it (entries
     * with {@code inherit}) a right for someone else to change its ACL or owner.
     */
    private void requireNothingPassedOn(Path parent, AclEntryFlag inherit) throws IOException {
        AclFileAttributeView view = parent == null ? null
                : Files.getFileAttributeView(parent, AclFileAttributeView.class,
                        LinkOption.NOFOLLOW_LINKS);
        if (view == null) {
            return;
        }
        for (AclEntry entry : view.getAcl()) {
            if (entry.type() == AclEntryType.ALLOW && entry.flags().contains(inherit)
                    && !trusted(entry.principal())
                    && (entry.permissions().contains(AclEntryPermission.WRITE_ACL)
                            || entry.permissions().contains(AclEntryPermission.WRITE_OWNER))) {
                throw new IOException(parent + " passes on to what is created in it a right for "
                        + entry.principal().getName() + " to change its ACL or owner");
            }
        }
    }

    /**
     * Sets the owner-only ACL, and makes this user the owner where one of the
     * system's accounts is: what a process creates belongs to its token's
     * owner, which for an elevated member of Administrators is that group,
     * not the user. What someone else owns stays theirs, and is refused: a
     * folder swapped in between creating and this is not taken over.
     */
    @Override
    void makeOwnerOnly(Path path) throws IOException {
        AclFileAttributeView view = Files.getFileAttributeView(path, AclFileAttributeView.class,
                LinkOption.NOFOLLOW_LINKS);
        if (view == null) {
            throw new IOException(path + " has no ACL to set");
        }
        view.setAcl(ownerOnly().value());
        UserPrincipal owner = view.getOwner();
        if (!owner.equals(user) && trusted(owner)) {
            view.setOwner(user);
        }
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
                        && !trusted(entry.principal())) {
                    return false;
                }
            }
            return problem(directory, Role.DIRECTORY) == null;
        } catch (IOException | SecurityException e) {
            return false;
        }
    }
}

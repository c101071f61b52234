package tarnwick.natives;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.google.common.jimfs.Configuration;
import com.google.common.jimfs.Jimfs;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.FileSystem;
import java.nio.file.Files;
import java.nio.file.LinkOption;
import java.nio.file.Path;
import java.nio.file.attribute.AclEntry;
import java.nio.file.attribute.AclEntryFlag;
import java.nio.file.attribute.AclEntryPermission;
import java.nio.file.attribute.AclEntryType;
import java.nio.file.attribute.AclFileAttributeView;
import java.nio.file.attribute.UserPrincipal;
import java.util.Arrays;
import java.util.EnumSet;
import java.util.List;
import java.util.Set;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;

/**
 * The Windows owner and ACL checks, driven on an in-memory file system with
 * Windows paths and {@code owner} and {@code acl} views, laid out as a stock
 * Windows machine has them. This tests the logic of the checks and of the
 * location policy, not Windows itself: how Windows fills in inherited entries
 * is modelled here by writing them out.
 */
class WindowsChecksTest {
    private static final Set<AclEntryPermission> FULL = EnumSet.allOf(AclEntryPermission.class);
    private static final Set<AclEntryPermission> READ = EnumSet.of(
            AclEntryPermission.READ_DATA, AclEntryPermission.READ_ATTRIBUTES,
            AclEntryPermission.READ_NAMED_ATTRS, AclEntryPermission.READ_ACL,
            AclEntryPermission.EXECUTE, AclEntryPermission.SYNCHRONIZE);
    /** Windows' "Modify": read, write, execute and delete, but not delete child or the ACL. */
    private static final Set<AclEntryPermission> MODIFY = modify();
    /** Windows' "Write": write and append data and attributes, no delete. */
    private static final Set<AclEntryPermission> WRITE = EnumSet.of(
            AclEntryPermission.WRITE_DATA, AclEntryPermission.APPEND_DATA,
            AclEntryPermission.WRITE_ATTRIBUTES, AclEntryPermission.WRITE_NAMED_ATTRS,
            AclEntryPermission.SYNCHRONIZE);
    private static final byte[] LIBRARY = "MZ a stand-in DLL".getBytes(StandardCharsets.US_ASCII);

    private FileSystem fs;
    private UserPrincipal player;
    private UserPrincipal other;
    private UserPrincipal system;
    private UserPrincipal administrators;
    private UserPrincipal trustedInstaller;
    private UserPrincipal users;
    private UserPrincipal authenticatedUsers;
    private UserPrincipal everyone;
    private WindowsChecks checks;

    private static Set<AclEntryPermission> modify() {
        Set<AclEntryPermission> modify = EnumSet.copyOf(READ);
        modify.addAll(EnumSet.of(AclEntryPermission.WRITE_DATA, AclEntryPermission.APPEND_DATA,
                AclEntryPermission.WRITE_ATTRIBUTES, AclEntryPermission.WRITE_NAMED_ATTRS,
                AclEntryPermission.DELETE));
        return modify;
    }

    @BeforeEach
    void machine() throws IOException {
        fs = Jimfs.newFileSystem(Configuration.windows().toBuilder()
                .setRoots("C:\\", "D:\\").setWorkingDirectory("C:\\")
                .setAttributeViews("basic", "owner", "acl")
                .setDefaultAttributeValue("owner:owner", "player").build());
        var lookup = fs.getUserPrincipalLookupService();
        player = lookup.lookupPrincipalByName("player");
        other = lookup.lookupPrincipalByName("other");
        system = lookup.lookupPrincipalByName("NT AUTHORITY\\SYSTEM");
        administrators = lookup.lookupPrincipalByName("BUILTIN\\Administrators");
        trustedInstaller = lookup.lookupPrincipalByName("NT SERVICE\\TrustedInstaller");
        users = lookup.lookupPrincipalByName("BUILTIN\\Users");
        authenticatedUsers = lookup.lookupPrincipalByName("NT AUTHORITY\\Authenticated Users");
        everyone = lookup.lookupPrincipalByName("Everyone");
        checks = new WindowsChecks(player, List.of(system, administrators, trustedInstaller));

        // C:\ as Windows installs it: Authenticated Users may create folders
        // there, and get Modify on what they create below (inherit-only).
        Path c = fs.getPath("C:\\");
        set(c, trustedInstaller, allow(administrators, FULL), allow(system, FULL),
                allow(users, READ), allow(authenticatedUsers,
                        EnumSet.of(AclEntryPermission.APPEND_DATA)),
                inheritOnly(allow(authenticatedUsers, MODIFY)));
        Path profiles = dir("C:\\Users", system, allow(system, FULL), allow(administrators, FULL),
                allow(users, READ), allow(everyone, READ));
        Path profile = dir(profiles + "\\player", system, allow(system, FULL),
                allow(administrators, FULL), allow(player, FULL));
        dir(profile + "\\AppData", player, allow(system, FULL), allow(administrators, FULL),
                allow(player, FULL));
        dir(profile + "\\AppData\\Local", player, allow(system, FULL), allow(administrators, FULL),
                allow(player, FULL));
        dir("C:\\Users\\player\\AppData\\Local\\Temp", player, allow(system, FULL),
                allow(administrators, FULL), allow(player, FULL));
    }

    @AfterEach
    void close() throws IOException {
        fs.close();
    }

    private static AclEntry allow(UserPrincipal who, Set<AclEntryPermission> what) {
        return AclEntry.newBuilder().setType(AclEntryType.ALLOW).setPrincipal(who)
                .setPermissions(what).build();
    }

    private static AclEntry inheritOnly(AclEntry entry) {
        return AclEntry.newBuilder(entry).setFlags(AclEntryFlag.INHERIT_ONLY,
                AclEntryFlag.FILE_INHERIT, AclEntryFlag.DIRECTORY_INHERIT).build();
    }

    private static void set(Path path, UserPrincipal owner, AclEntry... acl) throws IOException {
        AclFileAttributeView view = Files.getFileAttributeView(path, AclFileAttributeView.class,
                LinkOption.NOFOLLOW_LINKS);
        view.setOwner(owner);
        view.setAcl(List.of(acl));
    }

    private Path dir(String name, UserPrincipal owner, AclEntry... acl) throws IOException {
        Path path = Files.createDirectories(fs.getPath(name));
        set(path, owner, acl);
        return path;
    }

    private Installer installer(PathChecks with) {
        return new Installer("1.0-" + NativeLibraryExtractor.sha256(LIBRARY).substring(0, 12),
                "tarnwick.dll", LIBRARY, NativeLibraryExtractor.sha256(LIBRARY), with);
    }

    private Path place(Path game, Path cache, Path tmp) throws IOException {
        return new Locations(checks, game, cache, tmp, "player").place(installer(checks), "mod");
    }

    private Path localAppData() {
        return fs.getPath("C:\\Users\\player\\AppData\\Local");
    }

    private Path tmp() {
        return localAppData().resolve("Temp");
    }

    /** Only the player, and the entries the player's own folders hold. */
    private void assertOwnerOnly(Path path) throws IOException {
        AclFileAttributeView view = Files.getFileAttributeView(path, AclFileAttributeView.class);
        assertEquals(player, view.getOwner(), path::toString);
        for (AclEntry entry : view.getAcl()) {
            assertEquals(player, entry.principal(), () -> path + ": " + entry);
        }
    }

    @Test
    void aGameDirInTheProfilePassesAndWhatIsCreatedIsThePlayersAlone() throws IOException {
        Path game = dir("C:\\Users\\player\\AppData\\Roaming\\.game", player,
                allow(system, FULL), allow(administrators, FULL), allow(player, FULL));
        Path library = place(game, localAppData(), tmp());
        assertTrue(library.startsWith(game.resolve("tarnwick-natives")), library::toString);
        assertEquals(NativeLibraryExtractor.sha256(LIBRARY),
                NativeLibraryExtractor.sha256(Files.readAllBytes(library)));
        assertOwnerOnly(library.getParent());
        assertOwnerOnly(library.getParent().getParent());
        assertOwnerOnly(library);
        // Missing folders of the cache are created owner-only too.
        Path nested = place(null, localAppData().resolve("Game\\cache"), tmp());
        assertOwnerOnly(localAppData().resolve("Game"));
        assertTrue(nested.startsWith(localAppData().resolve("Game\\cache")), nested::toString);
    }

    @Test
    void aSecondDriveWhoseFoldersInheritModifyForAuthenticatedUsersIsNotUsed() throws IOException {
        set(fs.getPath("D:\\"), system, allow(administrators, FULL), allow(system, FULL),
                allow(authenticatedUsers, EnumSet.of(AclEntryPermission.APPEND_DATA)),
                inheritOnly(allow(authenticatedUsers, MODIFY)), allow(users, READ));
        // A folder the player made there: Windows writes the inherited entries out.
        Path game = dir("D:\\Games\\mc", player, allow(administrators, FULL), allow(system, FULL),
                allow(authenticatedUsers, MODIFY), allow(users, READ));
        set(game.getParent(), player, allow(administrators, FULL), allow(system, FULL),
                allow(authenticatedUsers, MODIFY), allow(users, READ));
        Path library = place(game, localAppData(), tmp());
        assertTrue(library.startsWith(localAppData()), library::toString);
        assertTrue(Files.notExists(game.resolve("tarnwick-natives")), "created in D:\\Games\\mc");
        String why = checks.problem(game.getParent(), PathChecks.Role.ANCESTOR);
        assertNotNull(why);
        assertTrue(why.contains("lets NT AUTHORITY\\Authenticated Users change it (DELETE)"), why);
    }

    @Test
    void aSharedTempFolderAnotherUserMadeIsNotUsed() throws IOException {
        // C:\Temp: every user may create folders there, as in a shared TMP.
        Path shared = dir("C:\\Temp", administrators, allow(administrators, FULL),
                allow(system, FULL), allow(users, EnumSet.of(AclEntryPermission.WRITE_DATA,
                        AclEntryPermission.APPEND_DATA, AclEntryPermission.READ_DATA)),
                inheritOnly(allow(users, MODIFY)));
        Path squatted = dir("C:\\Temp\\tarnwick-player", other, allow(other, FULL),
                allow(player, FULL));
        Path library = place(null, null, shared);
        Path own = library.getParent().getParent().getParent();
        assertTrue(own.getFileName().toString().matches("tarnwick-player\\.[0-9]+"), own::toString);
        assertOwnerOnly(own);
        assertTrue(Files.notExists(squatted.resolve("tarnwick-natives")), "used the squatted folder");
        // The player's own folder there, opened to Users, is not used either.
        set(squatted, player, allow(player, FULL), allow(users, MODIFY));
        assertEquals(library, place(null, null, shared), "the earlier private folder serves");
    }

    @Test
    void inheritOnlyEntriesShapeOnlyWhatIsBelow() throws IOException {
        Path game = dir("C:\\Games\\mc", player, allow(player, FULL), allow(system, FULL),
                inheritOnly(allow(everyone, FULL)));
        set(game.getParent(), administrators, allow(administrators, FULL), allow(users, READ));
        assertEquals(null, checks.problem(game, PathChecks.Role.DIRECTORY));
        Path library = place(game, localAppData(), tmp());
        assertTrue(library.startsWith(game), library::toString);
        // The same entry applying to the folder itself is refused.
        set(game, player, allow(player, FULL), allow(everyone, FULL));
        assertTrue(place(game, localAppData(), tmp()).startsWith(localAppData()));
    }

    @Test
    void linksAndJunctionsBelowTheBaseAreRefused() throws IOException {
        Path game = dir("C:\\Games\\mc", player, allow(player, FULL));
        Path elsewhere = dir("C:\\Elsewhere", player, allow(player, FULL));
        Files.createSymbolicLink(game.resolve("tarnwick-natives"), elsewhere);
        Path library = place(game, localAppData(), tmp());
        assertTrue(library.startsWith(localAppData()), library::toString);
        assertTrue(checks.problem(game.resolve("tarnwick-natives"), PathChecks.Role.DIRECTORY)
                .contains("is a link or junction"));
        try (var entries = Files.list(elsewhere)) {
            assertEquals(0, entries.count(), "wrote through the link");
        }
    }

    @Test
    void anAclThatGrantsEveryoneWriteIsRefusedWithoutAnyDeny() throws IOException {
        Path game = dir("C:\\Games\\mc", player, allow(player, FULL), allow(everyone, WRITE));
        // As an ancestor, Everyone may add entries: like the sticky bit.
        assertEquals(null, checks.problem(game, PathChecks.Role.ANCESTOR));
        Path library = place(game, localAppData(), tmp());
        assertTrue(library.startsWith(game));
        // The version folder or the library itself open to Everyone: refused and replaced.
        set(library.getParent(), player, allow(player, FULL), allow(everyone, WRITE));
        assertTrue(checks.problem(library.getParent(), PathChecks.Role.DIRECTORY)
                .contains("lets Everyone change it (APPEND_DATA, WRITE_DATA)"));
        assertTrue(place(game, localAppData(), tmp()).startsWith(localAppData()));
        // A DENY before it is not weighed: still refused.
        AclEntry deny = AclEntry.newBuilder(allow(everyone, WRITE)).setType(AclEntryType.DENY)
                .build();
        set(library.getParent(), player, deny, allow(player, FULL), allow(everyone, WRITE));
        assertNotNull(checks.problem(library.getParent(), PathChecks.Role.DIRECTORY));
        set(library.getParent(), player, allow(player, FULL));
        set(library, player, allow(player, FULL), allow(everyone, WRITE));
        assertEquals(library, place(game, localAppData(), tmp()));
        assertOwnerOnly(library);
        // Another user as the owner, with nothing in the ACL.
        set(game, other);
        assertTrue(checks.problem(game, PathChecks.Role.ANCESTOR)
                .contains("belongs to other, not to player"));
    }

    @Test
    void aSecondClassLoaderGetsACopyAndTheFirstKeepsTheLibrary() throws IOException {
        Path game = dir("C:\\Games\\mc", player, allow(player, FULL));
        Locations locations = new Locations(checks, game, localAppData(), tmp(), "player");
        Path first = locations.place(installer(checks), "loader A@" + game.hashCode());
        Path second = locations.place(installer(checks), "loader B@" + game.hashCode());
        Path again = locations.place(installer(checks), "loader B@" + game.hashCode());
        assertEquals(first.resolveSibling("tarnwick.dll"), first);
        assertTrue(second.getFileName().toString().matches("tarnwick\\.[0-9]+\\.dll"),
                second::toString);
        assertEquals(second, again, "the same loader got a second copy");
        assertOwnerOnly(second);
        assertEquals(NativeLibraryExtractor.sha256(LIBRARY),
                NativeLibraryExtractor.sha256(Files.readAllBytes(second)));
    }

    /**
     * The last check before the path is handed out: a copy swapped after it
     * was placed (by someone who got past the checks before) is not returned,
     * whether it is another DLL or the library with something appended.
     */
    @Test
    void aCopySwappedBeforeTheLastCheckIsNotHandedOut() throws IOException {
        byte[] longer = Arrays.copyOf(LIBRARY, LIBRARY.length + 1);
        List<byte[]> swaps = List.of("MZ another DLL".getBytes(StandardCharsets.US_ASCII), longer);
        for (int i = 0; i < swaps.size(); i++) {
            byte[] swap = swaps.get(i);
            Path game = dir("C:\\Games\\mc" + i, player, allow(player, FULL));
            Path target = game.resolve("tarnwick-natives")
                    .resolve("1.0-" + NativeLibraryExtractor.sha256(LIBRARY).substring(0, 12))
                    .resolve("tarnwick.dll");
            PathChecks swapping = new Delegating(checks) {
                private boolean swapped;

                @Override
                String problem(Path path, Role role) throws IOException {
                    if (!swapped && path.getParent() == null && Files.exists(target)) {
                        swapped = true;
                        Files.write(target, swap);
                    }
                    return super.problem(path, role);
                }
            };
            Path placed = new Locations(swapping, game, localAppData(), tmp(), "player")
                    .place(installer(swapping), "mod");
            assertTrue(placed.startsWith(localAppData()), placed::toString);
            assertEquals(NativeLibraryExtractor.sha256(LIBRARY),
                    NativeLibraryExtractor.sha256(Files.readAllBytes(placed)));
        }
    }

    /** Checks that pass every question on to others, for a test to step in between. */
    static class Delegating extends PathChecks {
        private final PathChecks inner;

        Delegating(PathChecks inner) {
            this.inner = inner;
        }

        @Override
        String problem(Path path, Role role) throws IOException {
            return inner.problem(path, role);
        }

        @Override
        boolean isOwn(Path path) {
            return inner.isOwn(path);
        }

        @Override
        void createOwnerOnly(Path directory) throws IOException {
            inner.createOwnerOnly(directory);
        }

        @Override
        Path createOwnerOnlyFile(Path directory, String prefix, String suffix) throws IOException {
            return inner.createOwnerOnlyFile(directory, prefix, suffix);
        }

        @Override
        void makeOwnerOnly(Path directory) throws IOException {
            inner.makeOwnerOnly(directory);
        }

        @Override
        boolean isOwnerOnly(Path directory) {
            return inner.isOwnerOnly(directory);
        }
    }
}

package tarnwick.natives;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
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
import java.nio.file.attribute.GroupPrincipal;
import java.nio.file.attribute.UserPrincipal;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.EnumSet;
import java.util.HashMap;
import java.util.List;
import java.util.Map;
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
    private static final String PLAYER_SID = "S-1-5-21-7-7-7-1001";
    private static final String TRUSTED_INSTALLER_SID =
            "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";

    private FileSystem fs;
    private UserPrincipal player;
    private UserPrincipal other;
    private UserPrincipal system;
    private UserPrincipal administrators;
    private UserPrincipal trustedInstaller;
    private UserPrincipal users;
    private UserPrincipal authenticatedUsers;
    private UserPrincipal everyone;
    /** The SID Windows would report for each principal, by its name here. */
    private final Map<String, String> sids = new HashMap<>();
    private PathChecks checks;

    private static Set<AclEntryPermission> modify() {
        Set<AclEntryPermission> modify = EnumSet.copyOf(READ);
        modify.addAll(EnumSet.of(AclEntryPermission.WRITE_DATA, AclEntryPermission.APPEND_DATA,
                AclEntryPermission.WRITE_ATTRIBUTES, AclEntryPermission.WRITE_NAMED_ATTRS,
                AclEntryPermission.DELETE));
        return modify;
    }

    /**
     * The accounts of a process whose token user is {@code tokenSid}, known
     * as {@code tokenName}; Jimfs principals are only names, so each gets the
     * SID {@link #sids} gives its name.
     */
    private WindowsChecks.Accounts accounts(String tokenSid, String tokenName) {
        return new WindowsChecks.Accounts() {
            @Override
            public String tokenUserSid() {
                return tokenSid;
            }

            @Override
            public String tokenUserName() {
                return tokenName;
            }

            @Override
            public String sid(UserPrincipal principal) {
                return sids.get(principal.getName());
            }
        };
    }

    private UserPrincipal account(String name, String sid) throws IOException {
        sids.put(name, sid);
        return fs.getUserPrincipalLookupService().lookupPrincipalByName(name);
    }

    @BeforeEach
    void machine() throws IOException {
        machine("player");
    }

    /** A machine where what this process creates belongs to {@code creator} at first. */
    private void machine(String creator) throws IOException {
        // What Windows writes on a new object that is given no ACL, here as
        // if inherited from above: Modify for Authenticated Users.
        UserPrincipal names = Jimfs.newFileSystem().getUserPrincipalLookupService()
                .lookupPrincipalByName("NT AUTHORITY\\Authenticated Users");
        fs = Jimfs.newFileSystem(Configuration.windows().toBuilder()
                .setRoots("C:\\", "D:\\").setWorkingDirectory("C:\\")
                .setAttributeViews("basic", "owner", "acl")
                .setDefaultAttributeValue("owner:owner", creator)
                .setDefaultAttributeValue("acl:acl", List.of(allow(names, MODIFY))).build());
        player = account("player", PLAYER_SID);
        other = account("other", "S-1-5-21-7-7-7-1002");
        system = account("NT AUTHORITY\\SYSTEM", "S-1-5-18");
        administrators = account("BUILTIN\\Administrators", "S-1-5-32-544");
        trustedInstaller = account("NT SERVICE\\TrustedInstaller", TRUSTED_INSTALLER_SID);
        users = account("BUILTIN\\Users", "S-1-5-32-545");
        authenticatedUsers = account("NT AUTHORITY\\Authenticated Users", "S-1-5-11");
        everyone = account("Everyone", "S-1-1-0");
        checks = WindowsChecks.forAccounts(fs, accounts(PLAYER_SID, "player"));
        assertTrue(checks instanceof WindowsChecks, "the token's account was not taken");
        layOut();
    }

    /** The stock machine's folders, with the system accounts of the fields. */
    private void layOut() throws IOException {
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

    /** The directory and any missing above it, each with {@code owner} and {@code acl}. */
    private Path dir(String name, UserPrincipal owner, AclEntry... acl) throws IOException {
        Path path = fs.getPath(name);
        Path existing = path;
        while (Files.notExists(existing)) {
            existing = existing.getParent();
        }
        for (Path step : existing.equals(path) ? List.<Path>of() : existing.relativize(path)) {
            existing = Files.createDirectory(existing.resolve(step.toString()));
            set(existing, owner, acl);
        }
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
        assertTrue(Files.notExists(squatted.resolve("tarnwick-natives")),
                "used the squatted folder");
        // The player's own folder there, opened to Users, is not used either.
        set(squatted, player, allow(player, FULL), allow(users, MODIFY));
        assertEquals(library, place(null, null, shared), "the earlier private folder serves");
    }

    /**
     * Creation under a folder that passes rights on to others. Jimfs takes no
     * ACL at creation and applies no inheritance: a new object gets the
     * machine's default ACL (Modify for Authenticated Users, as if inherited),
     * which the extractor must replace. It cannot show Windows merging the
     * inherited entries into the ACL given at creation, nor a handle opened
     * in between; so a parent passing on ACL or owner rights is not created in.
     */
    @Test
    void inheritOnlyEntriesShapeOnlyWhatIsBelow() throws IOException {
        Path game = dir("C:\\Games\\mc", player, allow(player, FULL), allow(system, FULL),
                inheritOnly(allow(everyone, MODIFY)));
        set(game.getParent(), administrators, allow(administrators, FULL), allow(users, READ));
        assertEquals(null, checks.problem(game, PathChecks.Role.DIRECTORY));
        Path library = place(game, localAppData(), tmp());
        assertTrue(library.startsWith(game), library::toString);
        assertOwnerOnly(game.resolve("tarnwick-natives"));
        assertOwnerOnly(library.getParent());
        assertOwnerOnly(library);
        // Passing on the right to change the ACL or the owner: not created in.
        for (AclEntryPermission right : List.of(AclEntryPermission.WRITE_ACL,
                AclEntryPermission.WRITE_OWNER)) {
            Path other = dir("C:\\Games\\" + right, player, allow(player, FULL),
                    inheritOnly(allow(everyone, EnumSet.of(right))));
            assertEquals(null, checks.problem(other, PathChecks.Role.DIRECTORY));
            Path elsewhere = place(other, localAppData(), tmp());
            assertTrue(elsewhere.startsWith(localAppData()), elsewhere::toString);
            assertTrue(Files.notExists(other.resolve("tarnwick-natives")), right::toString);
        }
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
     * The player is the token's account. {@code user.name} names the
     * attacker, whose folder in the shared temporary directory holds a copy
     * that passes every other check: it is not handed out.
     */
    @Test
    void theAccountIsTheTokensWhateverUserNameSays() throws IOException {
        UserPrincipal attacker = account("attacker", "S-1-5-21-7-7-7-1003");
        Path shared = dir("C:\\Temp", administrators, allow(administrators, FULL),
                allow(system, FULL), inheritOnly(allow(users, MODIFY)));
        String version = "1.0-" + NativeLibraryExtractor.sha256(LIBRARY).substring(0, 12);
        Path planted = dir("C:\\Temp\\tarnwick-attacker\\tarnwick-natives\\" + version, attacker,
                allow(attacker, FULL)).resolve("tarnwick.dll");
        Files.write(planted, LIBRARY);
        set(planted, attacker, allow(attacker, FULL));
        String saved = System.getProperty("user.name");
        System.setProperty("user.name", "attacker");
        Path library;
        PathChecks token;
        try {
            token = WindowsChecks.forAccounts(fs, accounts(PLAYER_SID, "player"));
            library = new Locations(token, null, null, shared, System.getProperty("user.name"))
                    .place(installer(token), "mod");
            // Where the token cannot be read (this JVM is not on Windows),
            // nothing passes: user.name is no fallback.
            if (!System.getProperty("os.name").startsWith("Windows")) {
                String why = WindowsChecks.forThisUser(fs)
                        .problem(shared, PathChecks.Role.ANCESTOR);
                assertNotNull(why, "passed without the token");
                assertTrue(why.contains("cannot be read from its token"), why);
            }
        } finally {
            System.setProperty("user.name", saved);
        }
        assertFalse(library.startsWith(planted.getParent()), library::toString);
        assertOwnerOnly(library);
        assertTrue(token.isOwn(library) && !token.isOwn(planted));
        // A name that the lookup resolves to another account than the token's
        // (a local account named like the domain one): nothing passes.
        PathChecks mismatched = WindowsChecks.forAccounts(fs,
                accounts("S-1-5-21-9-9-9-1001", "player"));
        String why = mismatched.problem(localAppData(), PathChecks.Role.ANCESTOR);
        assertTrue(why.contains("S-1-5-21-9-9-9-1001 looked up as player is another account"), why);
    }

    /**
     * An elevated member of Administrators: what the process creates belongs
     * to Administrators at first. The extractor makes it the player's, so that
     * the next start finds its own folders again.
     */
    @Test
    void whatAnElevatedProcessCreatesIsMadeThePlayers() throws IOException {
        fs.close();
        sids.clear();
        machine("BUILTIN\\Administrators");
        Path shared = dir("C:\\Temp", administrators, allow(administrators, FULL),
                allow(system, FULL), inheritOnly(allow(users, MODIFY)));
        Path library = place(null, null, shared);
        Path own = shared.resolve("tarnwick-player");
        assertTrue(library.startsWith(own), library::toString);
        assertOwnerOnly(own);
        assertOwnerOnly(library.getParent());
        assertOwnerOnly(library);
        assertTrue(checks.isOwnerOnly(own));
        assertEquals(library, place(null, null, shared), "the first start's folder is not used");
        // Someone else's folder (swapped in before the ACL was set) stays
        // theirs, and refused, even where they let the player re-permission it.
        Path swapped = dir("C:\\Temp\\swapped", other, allow(other, FULL), allow(player, FULL));
        checks.makeOwnerOnly(swapped);
        assertEquals(other, Files.getOwner(swapped));
        assertNotNull(checks.problem(swapped, PathChecks.Role.DIRECTORY));
    }

    /**
     * A NULL DACL lets everyone do anything, and reads as no entries at all:
     * refused on every kind of object, even owned by the player.
     */
    @Test
    void anObjectWithNoAclEntriesIsRefusedInEveryRole() throws IOException {
        Path game = dir("C:\\Games\\mc", player, allow(player, FULL));
        Path library = place(game, localAppData(), tmp());
        assertTrue(library.startsWith(game), library::toString);
        List<Path> objects = List.of(game.getParent(), game, library.getParent(), library);
        List<PathChecks.Role> roles = List.of(PathChecks.Role.ANCESTOR, PathChecks.Role.ANCESTOR,
                PathChecks.Role.DIRECTORY, PathChecks.Role.FILE);
        for (int i = 0; i < objects.size(); i++) {
            Path path = objects.get(i);
            set(path, player);
            String why = checks.problem(path, roles.get(i));
            assertNotNull(why, path::toString);
            assertTrue(why.contains("shows no ACL entries"), why);
            Path placed = place(game, localAppData(), tmp());
            if (path.equals(library)) {
                // Replaced with one that has its entries again.
                assertEquals(library, placed);
                assertOwnerOnly(library);
                assertFalse(Files.getFileAttributeView(library, AclFileAttributeView.class)
                        .getAcl().isEmpty());
            } else {
                assertTrue(placed.startsWith(localAppData()), path + ": " + placed);
            }
            set(path, player, allow(player, FULL));
        }
    }

    /**
     * A German Windows: the system accounts have other names, the same SIDs.
     * And an account that merely bears an English system account's name is
     * not trusted.
     */
    @Test
    void systemAccountsAreKnownByTheirSidsInAnyLanguage() throws IOException {
        system = account("NT-AUTORITÄT\\SYSTEM", "S-1-5-18");
        administrators = account("VORDEFINIERT\\Administratoren", "S-1-5-32-544");
        trustedInstaller = account("NT SERVICE\\TrustedInstaller", TRUSTED_INSTALLER_SID);
        users = account("VORDEFINIERT\\Benutzer", "S-1-5-32-545");
        authenticatedUsers = account("NT-AUTORITÄT\\Authentifizierte Benutzer", "S-1-5-11");
        layOut();
        Path game = dir("C:\\Users\\player\\AppData\\Roaming\\.game", player,
                allow(system, FULL), allow(administrators, FULL), allow(player, FULL));
        Path library = place(game, localAppData(), tmp());
        assertTrue(library.startsWith(game), library::toString);
        assertOwnerOnly(library);
        // A local group someone called "BUILTIN\Administrators" is someone else.
        UserPrincipal impostor = account("BUILTIN\\Administrators", "S-1-5-21-7-7-7-1010");
        set(game, impostor, allow(player, FULL));
        assertTrue(checks.problem(game, PathChecks.Role.DIRECTORY)
                .contains("belongs to BUILTIN\\Administrators"));
        set(game, player, allow(player, FULL), allow(impostor, FULL));
        assertTrue(checks.problem(game, PathChecks.Role.DIRECTORY)
                .contains("lets BUILTIN\\Administrators change it"));
        assertTrue(place(game, localAppData(), tmp()).startsWith(localAppData()));
    }

    /**
     * How the JDK's Windows principals are read: by the hash of their SID
     * string, a system account only as a group, the token's user only as a
     * user.
     */
    @Test
    void theProvidersPrincipalsAreReadByTheirSidsHash() {
        WindowsChecks.ProcessToken token = new WindowsChecks.ProcessToken(PLAYER_SID, "PC\\player");
        assertEquals("S-1-5-18", token.sid(principal("NT-AUTORITÄT\\SYSTEM", "S-1-5-18", true)));
        assertEquals(TRUSTED_INSTALLER_SID, token.sid(principal("x", TRUSTED_INSTALLER_SID, true)));
        assertEquals(null, token.sid(principal("a user", "S-1-5-32-544", false)));
        assertEquals(PLAYER_SID, token.sid(principal("PC\\player", PLAYER_SID, false)));
        assertEquals(null, token.sid(principal("PC\\player", PLAYER_SID, true)));
        assertEquals(null, token.sid(principal("BUILTIN\\Administrators", "S-1-5-32-545", true)));
    }

    /** A principal as the JDK's Windows provider makes them: hashed as its SID string. */
    private static UserPrincipal principal(String name, String sid, boolean group) {
        class User implements UserPrincipal {
            @Override
            public String getName() {
                return name;
            }

            @Override
            public int hashCode() {
                return sid.hashCode();
            }

            @Override
            public boolean equals(Object other) {
                return other == this;
            }
        }
        class Group extends User implements GroupPrincipal {
        }
        return group ? new Group() : new User();
    }

    /**
     * Each right that changes what is loaded, granted alone to another user on
     * each kind of object: refused, except creating entries (write and append
     * data) on an ancestor. The rights not weighed pass everywhere.
     */
    @Test
    void eachChangeRightAloneOnEachKindOfObject() throws IOException {
        Path game = dir("C:\\Games\\mc", player, allow(player, FULL));
        Path library = place(game, localAppData(), tmp());
        Map<PathChecks.Role, Path> objects = Map.of(PathChecks.Role.ANCESTOR, game,
                PathChecks.Role.DIRECTORY, library.getParent(), PathChecks.Role.FILE, library);
        Set<AclEntryPermission> weighed = EnumSet.of(AclEntryPermission.WRITE_DATA,
                AclEntryPermission.APPEND_DATA, AclEntryPermission.DELETE,
                AclEntryPermission.DELETE_CHILD, AclEntryPermission.WRITE_ACL,
                AclEntryPermission.WRITE_OWNER);
        List<String> wrong = new ArrayList<>();
        for (Map.Entry<PathChecks.Role, Path> object : objects.entrySet()) {
            PathChecks.Role role = object.getKey();
            Path path = object.getValue();
            for (AclEntryPermission right : AclEntryPermission.values()) {
                boolean allowed = !weighed.contains(right) || role == PathChecks.Role.ANCESTOR
                        && (right == AclEntryPermission.WRITE_DATA
                                || right == AclEntryPermission.APPEND_DATA);
                // Also for a group the player is in, on a folder as an entry
                // that is inherited below as well as applying here.
                AclEntry.Builder group = AclEntry.newBuilder(allow(users, EnumSet.of(right)));
                if (role != PathChecks.Role.FILE) {
                    group.setFlags(AclEntryFlag.DIRECTORY_INHERIT, AclEntryFlag.FILE_INHERIT);
                }
                for (AclEntry entry : List.of(allow(other, EnumSet.of(right)), group.build())) {
                    set(path, player, allow(player, FULL), entry);
                    String why = checks.problem(path, role);
                    if ((why == null) != allowed) {
                        wrong.add(role + " " + entry + ": " + why);
                    }
                }
            }
            set(path, player, allow(player, FULL));
            // Another user as the owner, with only the player in the ACL.
            set(path, other, allow(player, FULL));
            if (checks.problem(path, role) == null) {
                wrong.add(role + " owned by other passed");
            }
            set(path, player, allow(player, FULL));
        }
        assertEquals(List.of(), wrong);
        assertEquals(library, place(game, localAppData(), tmp()), "the copy was not reused");
    }

    /**
     * The last check, with the copy's folder swapped for another user's
     * holding the very same bytes under the player's name: only the folder's
     * owner stands in the way, and it is not handed out.
     */
    @Test
    void aFolderSwappedBeforeTheLastCheckIsNotHandedOut() throws IOException {
        Path game = dir("C:\\Games\\mc", player, allow(player, FULL));
        Path folder = game.resolve("tarnwick-natives")
                .resolve("1.0-" + NativeLibraryExtractor.sha256(LIBRARY).substring(0, 12));
        PathChecks swapping = new Delegating(checks) {
            private boolean swapped;

            @Override
            String problem(Path path, Role role) throws IOException {
                if (!swapped && path.getParent() == null
                        && Files.exists(folder.resolve("tarnwick.dll"))) {
                    swapped = true;
                    Files.move(folder, folder.resolveSibling("gone"));
                    Files.createDirectory(folder);
                    set(folder, other, allow(other, FULL), allow(player, FULL));
                    Path copy = Files.write(folder.resolve("tarnwick.dll"), LIBRARY);
                    set(copy, player, allow(player, FULL));
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

package tarnwick.natives;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assumptions.assumeTrue;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.FileSystems;
import java.nio.file.Files;
import java.nio.file.LinkOption;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.attribute.BasicFileAttributes;
import java.nio.file.attribute.FileTime;
import java.nio.file.attribute.PosixFilePermissions;
import java.time.Duration;
import java.time.Instant;
import java.util.ArrayList;
import java.util.List;
import java.util.logging.Handler;
import java.util.logging.LogRecord;
import java.util.logging.Logger;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/**
 * The POSIX checks and the location policy as a player meets them: run as the
 * unprivileged user {@code tarnwick-player}, with {@code tarnwick-other} as the
 * other local user, who is a member of the player's own group. Root prepares
 * what only root or the other user can make (tests/java/extractor_as_player.sh)
 * and names it in {@code tarnwick.fixtures}:
 * <ul>
 *   <li>{@code rootacl/game}: the player's directory in a {@code root:root}
 *       directory whose ACL lets the other user write;
 *   <li>{@code othercache}: the other user's directory, open to all;
 *   <li>{@code tmp}: a {@code root:root} 1777 directory, where the other user
 *       made {@code tarnwick-tarnwick-player} first.
 * </ul>
 * Elsewhere (as root, or without the fixtures) those tests are skipped; the
 * rest run in the ordinary suite too, the owner and mode rules with a user id
 * given to {@link PosixChecks} in place of the process's.
 */
class PosixChecksTest {
    static final String PLAYER = "tarnwick-player";
    static final String OTHER = "tarnwick-other";
    private static final byte[] LIBRARY =
            "\u007fELF a stand-in library".getBytes(StandardCharsets.ISO_8859_1);
    private static final String HASH = NativeLibraryExtractor.sha256(LIBRARY);

    @TempDir Path temp;
    private Path fixtures;
    private PosixChecks checks;
    private final List<String> log = new ArrayList<>();
    private final Logger logger = Logger.getLogger("tarnwick.natives");
    private final Handler capture = new Handler() {
        @Override
        public void publish(LogRecord record) {
            log.add(record.getMessage());
        }

        @Override
        public void flush() {}

        @Override
        public void close() {}
    };

    @BeforeEach
    void capture() {
        checks = new PosixChecks(FileSystems.getDefault());
        logger.addHandler(capture);
    }

    /** Skips the test unless it runs as the player with root's fixtures. */
    private void asThePlayer() {
        String fixtureDir = System.getProperty("tarnwick.fixtures");
        assumeTrue(fixtureDir != null && PLAYER.equals(System.getProperty("user.name")),
                "runs as " + PLAYER + " with root's fixtures (tests/java/extractor_as_player.sh)");
        fixtures = Paths.get(fixtureDir);
    }

    @AfterEach
    void stopCapture() {
        logger.removeHandler(capture);
    }

    private Installer installer(PathChecks with) {
        return new Installer("1.0-" + HASH.substring(0, 12), "libtarnwick.so", LIBRARY, HASH,
                with);
    }

    private Path place(Path game, Path cache, Path tmp) throws IOException {
        return new Locations(checks, game, cache, tmp, PLAYER).place(installer(checks), "mod");
    }

    /** The player's own cache and temporary directory, both fine. */
    private Path cache() {
        return temp.resolve("cache");
    }

    private Path tmp() throws IOException {
        return Files.createDirectories(temp.resolve("tmp"));
    }

    private static void run(String... command) throws Exception {
        Process process = new ProcessBuilder(command).inheritIO().start();
        assertEquals(0, process.waitFor(), () -> String.join(" ", command));
    }

    private static String mode(Path path) throws IOException {
        return PosixFilePermissions.toString(Files.getPosixFilePermissions(path));
    }

    private static Object fileKey(Path path) throws IOException {
        return Files.readAttributes(path, BasicFileAttributes.class).fileKey();
    }

    private void assertLogged(String part) {
        assertTrue(log.stream().anyMatch(line -> line.contains(part)),
                () -> "not logged: \"" + part + "\" in " + log);
    }

    @Test
    void thePlayersOwnGameDirIsUsedAndWhatIsCreatedIsTheirsAlone() throws Exception {
        asThePlayer();
        Path game = Files.createDirectories(temp.resolve("home/game"));
        Files.setPosixFilePermissions(game, PosixFilePermissions.fromString("rwxr-xr-x"));
        Path library = place(game, cache(), tmp());
        assertEquals(game.resolve("tarnwick-natives/1.0-" + HASH.substring(0, 12))
                .resolve("libtarnwick.so"), library);
        assertEquals("rwx------", mode(library.getParent()));
        assertEquals("rwx------", mode(library.getParent().getParent()));
        assertEquals("rw-------", mode(library));
        assertLogged("tarnwick's native library is " + library + ", in the game directory");
        // A sticky ancestor open to all passes; the same bit on the folder of
        // the copy, or on the copy, does not.
        run("chmod", "1777", game.toString());
        assertEquals(library, place(game, cache(), tmp()));
        run("chmod", "1777", library.getParent().toString());
        Path moved = place(game, cache(), tmp());
        assertTrue(moved.startsWith(cache()), moved::toString);
        assertLogged(library.getParent() + " is writable by every user");
        run("chmod", "700", library.getParent().toString());
        Object key = fileKey(library);
        run("chmod", "1666", library.toString());
        assertEquals(library, place(game, cache(), tmp()));
        assertEquals("rw-------", mode(library));
        assertNotEquals(key, fileKey(library), "a copy others could write was kept");
        // An old copy in use is kept by the cleanup, and not written again.
        Files.setLastModifiedTime(library, FileTime.from(Instant.now().minus(Duration.ofDays(30))));
        key = fileKey(library);
        assertEquals(library, place(game, cache(), tmp()));
        assertEquals(key, fileKey(library));
    }

    @Test
    void aGameDirAnAclOpensToAnotherUserIsNotUsed() throws Exception {
        asThePlayer();
        Path game = Files.createDirectories(temp.resolve("acl/game"));
        Files.setPosixFilePermissions(game, PosixFilePermissions.fromString("rwxr-xr-x"));
        run("setfacl", "-m", "u:" + OTHER + ":rwx", game.toString());
        Path library = place(game, cache(), tmp());
        assertTrue(library.startsWith(cache()), library::toString);
        assertTrue(Files.notExists(game.resolve("tarnwick-natives")), "created in the game dir");
        assertLogged(game + " is writable by the group " + PLAYER + " or by users an ACL names");
        assertLogged("in the user's cache; not used: the game directory: " + game);
    }

    @Test
    void aGroupWritableGameDirIsNotUsedWhateverTheGroupIsCalled() throws Exception {
        asThePlayer();
        // The player's own group, named like the player, with the other user in it.
        Path game = Files.createDirectories(temp.resolve("group/game"));
        run("chgrp", PLAYER, game.toString());
        run("chmod", "2770", game.toString());
        Path library = place(game, cache(), tmp());
        assertTrue(library.startsWith(cache()), library::toString);
        assertTrue(Files.notExists(game.resolve("tarnwick-natives")), "created in the game dir");
    }

    @Test
    void aGameDirUnderARootDirectoryAnAclOpensToAnotherUserIsNotUsed() throws Exception {
        asThePlayer();
        Path game = fixtures.resolve("rootacl/game");
        Path library = place(game, cache(), tmp());
        assertTrue(library.startsWith(cache()), library::toString);
        assertTrue(Files.notExists(game.resolve("tarnwick-natives")), "created in the game dir");
        assertLogged(game.getParent() + " is writable by the group root or by users an ACL names");
    }

    @Test
    void nothingIsCreatedUnderACacheThatFailsTheCheck() throws Exception {
        asThePlayer();
        Path cache = fixtures.resolve("othercache").resolve(PLAYER + "-" + temp.getFileName());
        Path library = place(null, cache.resolve("deeper"), tmp());
        assertTrue(library.startsWith(tmp()), library::toString);
        assertTrue(Files.notExists(cache), "created a directory in another user's directory");
        assertLogged(fixtures.resolve("othercache") + " belongs to " + OTHER);
    }

    @Test
    void aSharedTmpWhereAnotherUserTookTheNameServesAFreshPrivateDirectory() throws Exception {
        asThePlayer();
        Path tmp = fixtures.resolve("tmp");
        Path library = place(null, null, tmp);
        Path own = tmp.relativize(library).getName(0);
        assertTrue(own.toString().matches("tarnwick-" + PLAYER + "\\.[0-9]+"), own::toString);
        assertEquals("rwx------", mode(tmp.resolve(own)));
        assertLogged("tarnwick does not use " + tmp.resolve("tarnwick-" + PLAYER));
        assertLogged("belongs to " + OTHER);
        // The next start finds the same directory.
        assertEquals(library, place(null, null, tmp));
    }

    /**
     * The last check before the path is handed out, with nothing else in the
     * way: after the copy was placed in a folder the checks passed, the copy
     * is swapped, the folder is opened to others, or the folder is replaced
     * by a link to one with a good copy. None of them is handed out.
     */
    @Test
    void aCopyOrFolderSwappedBeforeTheLastCheckIsNotHandedOut() throws Exception {
        String[] swaps = {"copy", "folder mode", "folder link"};
        for (String swap : swaps) {
            log.clear();
            Path game = Files.createDirectories(temp.resolve("swap " + swap + "/game"));
            Path cache = temp.resolve("swap " + swap + "/cache");
            Path folder = game.resolve("tarnwick-natives/1.0-" + HASH.substring(0, 12));
            Path target = folder.resolve("libtarnwick.so");
            PathChecks swapping = new WindowsChecksTest.Delegating(checks) {
                private boolean swapped;

                @Override
                String problem(Path path, Role role) throws IOException {
                    if (!swapped && path.getParent() == null && Files.exists(target)) {
                        swapped = true;
                        if (swap.equals("copy")) {
                            Files.write(target, "another library".getBytes(StandardCharsets.US_ASCII));
                        } else if (swap.equals("folder mode")) {
                            Files.setPosixFilePermissions(folder,
                                    PosixFilePermissions.fromString("rwxrwxrwx"));
                        } else {
                            Path moved = Files.move(folder, folder.resolveSibling("moved"));
                            Files.createSymbolicLink(folder, moved);
                        }
                    }
                    return super.problem(path, role);
                }
            };
            Path placed = new Locations(swapping, game, cache, tmp(), PLAYER)
                    .place(installer(swapping), "mod");
            assertTrue(placed.startsWith(cache), swap + ": " + placed);
            assertEquals(HASH, NativeLibraryExtractor.sha256(Files.readAllBytes(placed)));
            assertLogged(swap.equals("copy")
                    ? "does not match tarnwick's native library in the jar after writing it"
                    : swap.equals("folder mode") ? folder + " is writable by every user"
                    : folder + " is a symbolic link");
        }
    }

    private static int uidOf(Path path) throws IOException {
        return (Integer) Files.getAttribute(path, "unix:uid", LinkOption.NOFOLLOW_LINKS);
    }

    /**
     * Each owner and mode rule on its own, for each role, as a user other
     * than root: the process's user id is replaced by one given to the checks,
     * and root hands the files to that user or to another.
     */
    @Test
    void eachOwnerAndModeRuleRefusesOnItsOwnInEachRole() throws Exception {
        assumeTrue(uidOf(temp) == 0, "handing files to other users needs root");
        int player = 4242;
        int other = 4243;
        PosixChecks asPlayer = new PosixChecks(FileSystems.getDefault(), player,
                temp.resolve("no mount table"));
        int row = 0;
        for (PathChecks.Role role : PathChecks.Role.values()) {
            boolean directory = role != PathChecks.Role.FILE;
            // owner, mode, what the problem says (null: passes)
            Object[][] cases = {
                {player, directory ? "755" : "644", null},
                {0, directory ? "755" : "644", null},
                {other, directory ? "755" : "644", "belongs to"},
                {other, directory ? "700" : "600", "belongs to"},
                {player, directory ? "775" : "664", "is writable by the group"},
                {player, directory ? "757" : "646", "is writable by every user"},
                {player, directory ? "1757" : "1646",
                        role == PathChecks.Role.ANCESTOR ? null : "is writable by every user"},
                {player, directory ? "1775" : "1664",
                        role == PathChecks.Role.ANCESTOR ? null : "is writable by the group"},
            };
            for (Object[] c : cases) {
                Path path = temp.resolve("rule" + row++);
                if (directory) {
                    Files.createDirectory(path);
                } else {
                    Files.createFile(path);
                }
                run("chown", c[0].toString(), path.toString());
                run("chmod", c[1].toString(), path.toString());
                String problem = asPlayer.problem(path, role);
                String what = role + " owned by " + c[0] + ", mode " + c[1] + ": " + problem;
                if (c[2] == null) {
                    assertEquals(null, problem, what);
                } else {
                    assertTrue(problem != null && problem.contains((String) c[2]), what);
                }
            }
            Path link = Files.createSymbolicLink(temp.resolve("rule" + row++), temp);
            run("chown", "-h", String.valueOf(player), link.toString());
            assertTrue(String.valueOf(asPlayer.problem(link, role)).contains("is a symbolic link"),
                    role + ": a link passed");
            Path wrong = temp.resolve("rule" + row++);
            if (directory) {
                Files.createFile(wrong);
            } else {
                Files.createDirectory(wrong);
            }
            run("chown", String.valueOf(player), wrong.toString());
            assertTrue(String.valueOf(asPlayer.problem(wrong, role)).contains("is not a"),
                    role + ": the wrong kind of file passed");
        }
        // Whose it is, and whether it is the player's alone.
        Path own = Files.createDirectory(temp.resolve("own"));
        run("chown", String.valueOf(player), own.toString());
        run("chmod", "700", own.toString());
        assertTrue(asPlayer.isOwn(own) && asPlayer.isOwnerOnly(own));
        run("chmod", "750", own.toString());
        assertTrue(asPlayer.isOwn(own) && !asPlayer.isOwnerOnly(own));
        run("chmod", "700", own.toString());
        run("chown", "0", own.toString());
        assertTrue(!asPlayer.isOwn(own) && !asPlayer.isOwnerOnly(own), "root's is not the player's");
    }

    /**
     * A FUSE mount passes only when the player or root mounted it, wherever
     * the path is below it; other file systems are left to the owner checks.
     */
    @Test
    void aDaemonReportedMountPassesOnlyWhenThePlayerOrRootMountedIt() throws Exception {
        int player = uidOf(temp);
        int other = player + 1;
        Path mount = Files.createDirectories(temp.resolve("a mount"));
        Path below = Files.createDirectories(mount.resolve("inner"));
        Path beside = Files.createDirectories(temp.resolve("a mountain"));
        String point = mount.toString().replace(" ", "\\040");
        String[][] rows = {
            // type, options, refused
            {"fuse", "rw,user_id=" + other + ",group_id=" + other + ",allow_other", "yes"},
            {"fuse.bindfs", "rw,user_id=" + other, "yes"},
            {"fuseblk", "rw,allow_other,user_id=" + other, "yes"},
            {"fuse", "rw,allow_other", "yes"},
            {"fuse", "rw,user_id=" + player + ",group_id=0", "no"},
            {"fuse.sshfs", "rw,user_id=0,group_id=0", "no"},
            {"nfs4", "rw,user_id=" + other, "no"},
            {"tmpfs", "rw", "no"},
        };
        Path table = temp.resolve("mountinfo");
        for (String[] row : rows) {
            Files.write(table, List.of(
                    "22 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw",
                    "45 22 0:40 / " + point + " rw,nosuid,nodev,relatime shared:7 - " + row[0]
                            + " /srv/src " + row[1]));
            PosixChecks mounted = new PosixChecks(FileSystems.getDefault(), player, table);
            for (Path path : new Path[] {mount, below}) {
                String problem = mounted.problem(path, PathChecks.Role.ANCESTOR);
                String what = row[0] + " " + row[1] + ", " + path + ": " + problem;
                if (row[2].equals("yes")) {
                    assertTrue(problem != null && problem.contains("is on the " + row[0]
                            + " file system mounted at " + mount), what);
                } else {
                    assertEquals(null, problem, what);
                }
            }
            assertEquals(null, mounted.problem(beside, PathChecks.Role.ANCESTOR),
                    "a name that only begins like the mount point is not on it");
        }
        // A file system mounted later over the same point is the one that counts.
        Files.write(table, List.of("22 1 8:1 / / rw - ext4 /dev/sda1 rw",
                "45 22 0:40 / " + point + " rw - fuse /srv/src rw,user_id=" + other,
                "46 45 0:41 / " + point + " rw - tmpfs none rw"));
        assertEquals(null, new PosixChecks(FileSystems.getDefault(), player, table)
                .problem(below, PathChecks.Role.ANCESTOR));
        Files.write(table, List.of("22 1 8:1 / / rw - ext4 /dev/sda1 rw",
                "46 22 0:41 / " + point + " rw - tmpfs none rw",
                "47 46 0:40 / " + point + " rw - fuse.bindfs /srv/src rw,user_id=" + other));
        assertTrue(new PosixChecks(FileSystems.getDefault(), player, table)
                .problem(below, PathChecks.Role.ANCESTOR) != null, "the later FUSE mount passed");
    }

    /** The places the environment names, with odd values in each. */
    private Path placeFrom(String xdg, String home, String tmp) throws IOException {
        return Locations.forEnvironment(checks, FileSystems.getDefault(), false,
                null, xdg, home, tmp, PLAYER).place(installer(checks), "mod");
    }

    @Test
    void oddValuesInTheEnvironmentAreLocationsRefusedNeverExceptions() throws Exception {
        Path home = temp.resolve("home");
        Path defaultCache = home.resolve(".cache");
        String tmp = tmp().toString();
        // XDG_CACHE_HOME relative, empty, or no path at all: ~/.cache.
        assertTrue(placeFrom("relative/cache", home.toString(), tmp).startsWith(defaultCache));
        assertLogged("XDG_CACHE_HOME=\"relative/cache\" is not an absolute path");
        assertTrue(placeFrom("", home.toString(), tmp).startsWith(defaultCache));
        assertTrue(placeFrom(null, home.toString(), tmp).startsWith(defaultCache));
        assertTrue(placeFrom("/no\u0000path", home.toString(), tmp).startsWith(defaultCache));
        assertLogged("cannot be a path in this JVM");
        // A configured cache that the checks refuse: ~/.cache before java.io.tmpdir.
        Path open = Files.createDirectories(temp.resolve("open"));
        Files.setPosixFilePermissions(open, PosixFilePermissions.fromString("rwxrwxrwx"));
        log.clear();
        assertTrue(placeFrom(open.resolve("cache").toString(), home.toString(), tmp)
                .startsWith(defaultCache));
        assertLogged("in the user's default cache (~/.cache); not used: the user's cache: " + open
                + " is writable by every user");
        // A non-ASCII cache, where this JVM can name it.
        if ("UTF-8".equals(System.getProperty("sun.jnu.encoding"))) {
            Path cache = temp.resolve("C\u00e4che \u00d8");
            assertTrue(placeFrom(cache.toString(), home.toString(), tmp).startsWith(cache));
        }
        // user.home empty, relative, or no path: java.io.tmpdir.
        for (String odd : new String[] {"", "home", "/no\u0000home"}) {
            log.clear();
            Path placed = placeFrom(null, odd, tmp);
            assertTrue(placed.startsWith(tmp), () -> "user.home=" + odd + ": " + placed);
            assertLogged("tarnwick does not put its native library in the user's default cache");
        }
        // java.io.tmpdir empty, relative or no path, with nothing before it: refused, named.
        for (String odd : new String[] {"", "tmp", "/no\u0000tmp"}) {
            IOException refused = org.junit.jupiter.api.Assertions.assertThrows(IOException.class,
                    () -> placeFrom(null, "", odd));
            assertTrue(refused.getMessage().contains("in java.io.tmpdir: "
                    + (odd.isEmpty() ? "java.io.tmpdir is empty" : odd.equals("tmp")
                            ? "java.io.tmpdir=\"tmp\" is not an absolute path"
                            : "\"" + odd + "\" cannot be a path in this JVM")), refused::getMessage);
        }
    }

    /**
     * A copy that does not load where it is (the system's words for a file
     * system mounted noexec) sends the search on; one that does not load for
     * a reason no location avoids ends it, explained.
     */
    @Test
    void aCopyThatDoesNotLoadWhereItIsMovesOnToTheNextLocation() throws Exception {
        Path game = temp.resolve("noexec/game");
        Path cache = temp.resolve("noexec/cache");
        List<String> loaded = new ArrayList<>();
        java.util.function.Consumer<String> noexecGame = path -> {
            loaded.add(path);
            if (path.startsWith(game.toString())) {
                throw new UnsatisfiedLinkError(path + ": " + path
                        + ": failed to map segment from shared object");
            }
        };
        Path placed = new Locations(checks, game, cache, tmp(), PLAYER)
                .place(installer(checks), "mod", noexecGame);
        assertTrue(placed.startsWith(cache), placed::toString);
        assertEquals(2, loaded.size(), loaded::toString);
        assertLogged("tarnwick does not load its native library from the game directory: "
                + loaded.get(0) + " does not load from here");
        assertLogged("in the user's cache; not used: the game directory: ");

        IOException nowhere = org.junit.jupiter.api.Assertions.assertThrows(IOException.class,
                () -> new Locations(checks, game, cache, tmp(), PLAYER).place(installer(checks),
                        "mod", path -> {
                            throw new UnsatisfiedLinkError(path + ": Operation not permitted");
                        }));
        assertTrue(nowhere.getMessage().contains("Code may not run where the copies were put")
                && nowhere.getMessage().contains("in java.io.tmpdir: "), nowhere::getMessage);

        UnsatisfiedLinkError foreign = org.junit.jupiter.api.Assertions.assertThrows(
                UnsatisfiedLinkError.class, () -> new Locations(checks, game, cache, tmp(), PLAYER)
                        .place(installer(checks), "mod", path -> {
                            throw new UnsatisfiedLinkError(path + ": wrong ELF class: ELFCLASS32");
                        }));
        assertTrue(foreign.getMessage().contains("built for another processor or word width")
                && foreign.getMessage().contains(game.toString()), foreign::getMessage);
    }

    /** The library as it was built, for the tests that load it or read its header. */
    private static byte[] realLibrary() throws IOException {
        return Files.readAllBytes(Paths.get(System.getProperty("tarnwick.library")));
    }

    private Installer realInstaller() throws IOException {
        byte[] library = realLibrary();
        String hash = NativeLibraryExtractor.sha256(library);
        return new Installer("1.0-" + hash.substring(0, 12), "libtarnwick.so", library, hash,
                checks);
    }

    private static final String PLATFORM = NativeLibraryExtractor.platform(
            System.getProperty("os.name"), System.getProperty("os.arch"));

    private String installed(String configured) throws IOException {
        return NativeLibraryExtractor.installed(configured, PLATFORM, FileSystems.getDefault(),
                checks).toString();
    }

    private String refusal(String configured) {
        return org.junit.jupiter.api.Assertions.assertThrows(IOException.class,
                () -> installed(configured)).getMessage();
    }

    /**
     * A library installed outside the jar: its real file, when that passes the
     * checks and its header names this platform; anything else refused, with
     * the reason.
     */
    @Test
    void anInstalledLibraryIsUsedOnlyWhenItIsSafeAndForThisPlatform() throws Exception {
        Path lib = Files.createDirectories(temp.resolve("usr/lib"));
        Path good = Files.write(lib.resolve("libtarnwick.so"), realLibrary());
        assertEquals(good.toString(), installed(good.toString()));
        assertLogged("tarnwick's native library is " + good + ", installed");
        Path link = Files.createSymbolicLink(lib.resolve("libtarnwick.so.1"), good);
        assertEquals(good.toString(), installed(link.toString()), "the link is loaded, not its file");

        byte[] other = realLibrary();
        other[18] = (byte) (PLATFORM.equals("linux-aarch64") ? 62 : 183);
        other[19] = 0;
        Path foreign = Files.write(lib.resolve("foreign.so"), other);
        assertTrue(refusal(foreign.toString()).contains("it is a library for linux-"
                + (PLATFORM.equals("linux-aarch64") ? "x86_64" : "aarch64")), refusal(foreign.toString()));
        byte[] pe = new byte[256];
        pe[0] = 'M';
        pe[1] = 'Z';
        pe[60] = (byte) 128;
        pe[128] = 'P';
        pe[129] = 'E';
        pe[132] = 0x64;
        pe[133] = (byte) 0x86;
        Path dll = Files.write(lib.resolve("tarnwick.dll"), pe);
        assertTrue(refusal(dll.toString()).contains("it is a library for windows-x86_64"),
                refusal(dll.toString()));
        pe[60] = (byte) 250;  // the PE header's offset runs past the file
        Files.write(dll, pe);
        assertTrue(refusal(dll.toString()).contains("it is no library"), refusal(dll.toString()));
        Path text = Files.write(lib.resolve("text.so"), "\u007fEL".getBytes(StandardCharsets.US_ASCII));
        assertTrue(refusal(text.toString()).contains("it is no library"), refusal(text.toString()));

        assertTrue(refusal("usr/lib/libtarnwick.so").contains("it is not an absolute path"));
        assertTrue(refusal("").contains("it is not an absolute path"));
        assertTrue(refusal("/no\u0000such").contains("it cannot be a path in this JVM"));
        assertTrue(refusal(lib.resolve("missing.so").toString()).contains("no such file"),
                refusal(lib.resolve("missing.so").toString()));
        Files.setPosixFilePermissions(good, PosixFilePermissions.fromString("rw-rw-rw-"));
        assertTrue(refusal(good.toString()).contains(good + " is writable by every user"));
        Files.setPosixFilePermissions(good, PosixFilePermissions.fromString("rw-r--r--"));
        Files.setPosixFilePermissions(lib, PosixFilePermissions.fromString("rwxrwxrwx"));
        assertTrue(refusal(link.toString()).contains(lib + " is writable by every user"),
                refusal(link.toString()));

        // This class path holds no library; the property makes one supported.
        assertTrue(!NativeLibraryExtractor.isSupported(), "the test class path holds a library");
        System.setProperty(NativeLibraryExtractor.LIBRARY_PATH_PROPERTY, good.toString());
        try {
            assertTrue(NativeLibraryExtractor.isSupported());
        } finally {
            System.clearProperty(NativeLibraryExtractor.LIBRARY_PATH_PROPERTY);
        }
    }

    /** As the player: installed by root, passes; by the other user, or where they may write, not. */
    @Test
    void anInstalledLibraryOfAnotherUserIsRefused() throws Exception {
        asThePlayer();
        Path installedByRoot = fixtures.resolve("installed/root/libtarnwick.so");
        assertEquals(installedByRoot.toString(), installed(installedByRoot.toString()));
        System.load(installed(installedByRoot.toString()));
        assertTrue(refusal(fixtures.resolve("installed/other/libtarnwick.so").toString())
                .contains("belongs to " + OTHER));
        assertTrue(refusal(fixtures.resolve("installed/shared/libtarnwick.so").toString())
                .contains(fixtures.resolve("installed/shared") + " is writable by the group"));
    }

    /**
     * As the player: a game directory on a tmpfs root mounted noexec. The
     * copy is placed there and does not load; the cache is tried next and
     * its copy loads.
     */
    @Test
    void aGameDirOnANoexecMountFallsBackToACacheThatRunsIt() throws Exception {
        asThePlayer();
        Path game = fixtures.resolve("noexec/game");
        Path placed = new Locations(checks, game, cache(), tmp(), PLAYER)
                .place(realInstaller(), "mod", System::load);
        assertTrue(placed.startsWith(cache()), placed::toString);
        assertLogged("tarnwick does not load its native library from the game directory: " + game);
        assertLogged("failed to map segment");
    }

    /**
     * As the player: the other user's bindfs view of its own files, shown as
     * the player's. Every owner and mode check passes there; the mount's
     * owner does not.
     */
    @Test
    void aFuseMountOfAnotherUserIsNotUsedThoughItsFilesLookThePlayers() throws Exception {
        asThePlayer();
        Path mount = fixtures.resolve("fuse/view");
        assertEquals(PLAYER, Files.getOwner(mount).getName(), "the view does not show the player");
        Path placed = place(null, mount.resolve("cache"), tmp());
        assertTrue(placed.startsWith(tmp()), placed::toString);
        assertLogged(mount + " is on the fuse file system mounted at " + mount + " by uid ");
        assertTrue(Files.notExists(mount.resolve("cache")), "created on the other user's mount");
    }

    /**
     * A copy another JVM uses is not removed by this one's cleanup, however
     * old it looks; once that JVM has ended, it is.
     */
    @Test
    void aCopyAnotherJvmUsesIsNotRemoved() throws Exception {
        Path game = Files.createDirectories(temp.resolve("in use/game"));
        Process holder = new ProcessBuilder(System.getProperty("tarnwick.java", "java"), "-cp",
                System.getProperty("tarnwick.classpath"), Holder.class.getName(), game.toString())
                .redirectErrorStream(true).start();
        try {
            java.io.BufferedReader out = new java.io.BufferedReader(new java.io.InputStreamReader(
                    holder.getInputStream(), StandardCharsets.UTF_8));
            String line;
            Path copy = null;
            while (copy == null && (line = out.readLine()) != null) {
                if (line.startsWith("holding ")) {
                    copy = Paths.get(line.substring("holding ".length()));
                }
            }
            assertTrue(copy != null && Files.exists(copy), "the other JVM made no copy");
            Path held = copy;
            Files.setLastModifiedTime(held, FileTime.from(Instant.now().minus(Duration.ofHours(1))));
            // One an older release left, without a side file: removed as before.
            Path older = Files.copy(held, held.resolveSibling("libtarnwick.77.so"));
            Files.setLastModifiedTime(older, FileTime.from(Instant.now().minus(Duration.ofHours(1))));
            place(game, cache(), tmp());
            assertTrue(Files.exists(held), "removed a copy another JVM uses");
            assertTrue(Files.notExists(older), "kept an old copy without a side file");
            holder.getOutputStream().close();
            assertTrue(holder.waitFor(tarnwick.test.Timeouts.seconds(30),
                    java.util.concurrent.TimeUnit.SECONDS), "the other JVM did not end");
            place(game, cache(), tmp());
            assertTrue(Files.notExists(held), "kept a copy no JVM uses");
            assertTrue(Files.notExists(Paths.get(held + Installer.LOCK_SUFFIX)),
                    "kept the side file of a removed copy");
        } finally {
            holder.destroyForcibly();
        }
    }

    /**
     * The other JVM of {@link #aCopyAnotherJvmUsesIsNotRemoved}: takes the
     * library for two class loaders, so that the second gets a copy of its
     * own, prints that copy's path and holds it until its input ends.
     */
    public static final class Holder {
        private Holder() {}

        public static void main(String[] args) throws Exception {
            PathChecks checks = new PosixChecks(FileSystems.getDefault());
            Path game = Paths.get(args[0]);
            Path tmp = Files.createDirectories(game.resolveSibling("holder tmp"));
            Locations locations = new Locations(checks, game, tmp.resolve("cache"), tmp, PLAYER);
            Installer installer = new Installer("1.0-" + HASH.substring(0, 12), "libtarnwick.so",
                    LIBRARY, HASH, checks);
            locations.place(installer, "first");
            System.out.println("holding " + locations.place(installer, "second"));
            System.out.flush();
            System.in.read();
        }
    }
}

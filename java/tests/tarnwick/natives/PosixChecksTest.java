package tarnwick.natives;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assumptions.assumeTrue;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.FileSystems;
import java.nio.file.Files;
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
 * Elsewhere (as root, or without the fixtures) the tests are skipped.
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
    void asThePlayer() throws IOException {
        String fixtureDir = System.getProperty("tarnwick.fixtures");
        assumeTrue(fixtureDir != null && PLAYER.equals(System.getProperty("user.name")),
                "runs as " + PLAYER + " with root's fixtures (tests/java/extractor_as_player.sh)");
        fixtures = Paths.get(fixtureDir);
        checks = new PosixChecks(FileSystems.getDefault());
        logger.addHandler(capture);
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
        Path game = fixtures.resolve("rootacl/game");
        Path library = place(game, cache(), tmp());
        assertTrue(library.startsWith(cache()), library::toString);
        assertTrue(Files.notExists(game.resolve("tarnwick-natives")), "created in the game dir");
        assertLogged(game.getParent() + " is writable by the group root or by users an ACL names");
    }

    @Test
    void nothingIsCreatedUnderACacheThatFailsTheCheck() throws Exception {
        Path cache = fixtures.resolve("othercache").resolve(PLAYER + "-" + temp.getFileName());
        Path library = place(null, cache.resolve("deeper"), tmp());
        assertTrue(library.startsWith(tmp()), library::toString);
        assertTrue(Files.notExists(cache), "created a directory in another user's directory");
        assertLogged(fixtures.resolve("othercache") + " belongs to " + OTHER);
    }

    @Test
    void aSharedTmpWhereAnotherUserTookTheNameServesAFreshPrivateDirectory() throws Exception {
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
     * The last check before the path is handed out: a copy swapped after it
     * was placed, in a directory the checks passed before, is not returned.
     */
    @Test
    void aCopySwappedBeforeTheLastCheckIsNotHandedOut() throws Exception {
        Path game = Files.createDirectories(temp.resolve("swap/game"));
        Path target = game.resolve("tarnwick-natives/1.0-" + HASH.substring(0, 12))
                .resolve("libtarnwick.so");
        PathChecks swapping = new WindowsChecksTest.Delegating(checks) {
            private boolean swapped;

            @Override
            String problem(Path path, Role role) throws IOException {
                if (!swapped && path.getParent() == null && Files.exists(target)) {
                    swapped = true;
                    Files.write(target, "another library".getBytes(StandardCharsets.US_ASCII));
                }
                return super.problem(path, role);
            }
        };
        Path placed = new Locations(swapping, game, cache(), tmp(), PLAYER)
                .place(installer(swapping), "mod");
        assertTrue(placed.startsWith(cache()), placed::toString);
        assertEquals(HASH, NativeLibraryExtractor.sha256(Files.readAllBytes(placed)));
        assertLogged("does not match tarnwick's native library in the jar after writing it");
    }
}

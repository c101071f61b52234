package tarnwick.test;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertSame;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assumptions.assumeTrue;

import java.io.IOException;
import java.io.InputStream;
import java.lang.module.Configuration;
import java.lang.module.ModuleFinder;
import java.lang.reflect.InvocationTargetException;
import java.lang.reflect.Method;
import java.net.URL;
import java.net.URLConnection;
import java.net.URLStreamHandler;
import java.net.URLClassLoader;
import java.net.http.HttpClient;
import java.net.http.HttpResponse;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.FileSystems;
import java.nio.file.attribute.BasicFileAttributes;
import java.nio.file.attribute.FileTime;
import java.nio.file.attribute.PosixFileAttributeView;
import java.nio.file.attribute.PosixFilePermissions;
import java.nio.file.attribute.UserPrincipal;
import java.nio.file.attribute.UserPrincipalLookupService;
import java.security.MessageDigest;
import java.time.Duration;
import java.time.Instant;
import java.util.ArrayList;
import java.util.Collections;
import java.util.Enumeration;
import java.util.Comparator;
import java.util.List;
import java.util.Map;
import java.util.Set;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.TimeUnit;
import java.util.jar.Attributes;
import java.util.jar.JarOutputStream;
import java.util.jar.Manifest;
import java.util.regex.Matcher;
import java.util.regex.Pattern;
import java.util.stream.Collectors;
import java.util.stream.Stream;
import java.util.zip.ZipEntry;
import java.util.zip.ZipFile;
import java.util.zip.ZipOutputStream;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;
import tarnwick.natives.NativeLibraryExtractor;
import vardel.tarnwick.api.client.online.TarnwickServerConnectionHelper;

/**
 * Loads the library the way a mod does: JVMs whose class path holds only the
 * natives jar, the mod's example class (java/example), the other stand-ins
 * and the child's main class extract it with NativeLibraryExtractor, load it
 * from the example class and make one call against a loopback server.
 */
class NativesJarTest {
    /** This JVM's platform, e.g. linux-x86_64 or linux-aarch64: the jar must carry it. */
    private static final String PLATFORM =
            NativeLibraryExtractor.platform(System.getProperty("os.name"),
                    System.getProperty("os.arch"));
    private static final String LIBRARY_ENTRY = "natives/" + PLATFORM + "/libtarnwick.so";
    /** This JVM's processor as the platform names it: x86_64 or aarch64. */
    private static final String ARCH = PLATFORM.substring(PLATFORM.indexOf('-') + 1);

    @TempDir Path temp;
    private RecordingServer server;
    /** Set in the environment of the child JVMs, over what {@link #launch} sets. */
    private final java.util.Map<String, String> environment = new java.util.HashMap<>();

    @BeforeEach
    void start() throws IOException {
        server = new RecordingServer();
    }

    @AfterEach
    void stop() {
        server.close();
    }

    /** What one child JVM reported. */
    private static final class Run {
        final Path library;
        final String output;

        Run(Path library, String output) {
            this.library = library;
            this.output = output;
        }
    }

    private static Path nativesJar() {
        return Paths.get(System.getProperty("tarnwick.nativesJar"));
    }

    private Process launch(Path gameDir, Path tmpDir) throws IOException {
        return launch(gameDir, tmpDir, temp.resolve("cache"), null);
    }

    /**
     * A child JVM as a mod starts, under umask 000 so that nothing it creates
     * is left to the umask; {@code workDir}, when given, is its working
     * directory; {@code cache}, when given, is {@code $XDG_CACHE_HOME};
     * {@code options} go before the main class.
     */
    private Process launch(Path gameDir, Path tmpDir, Path cache, Path workDir, String... options)
            throws IOException {
        List<String> command = new ArrayList<>(List.of("/bin/sh", "-c", "umask 000 && exec \"$@\"",
                "sh"));
        command.add(System.getProperty("tarnwick.java", "java"));
        command.add("-Xcheck:jni");
        command.add("-Dtarnwick.gameDir=" + gameDir);
        command.add("-Djava.io.tmpdir=" + tmpDir);
        // A home where no default cache can be made, unless a test names one.
        Path noHome = temp.resolve("no-home");
        if (Files.notExists(noHome)) {
            Files.write(noHome, new byte[0]);
        }
        command.add("-Duser.home=" + noHome.resolve("home"));
        command.addAll(List.of(options));
        if (!List.of(options).contains("-jar") && !List.of(options).contains("-cp")) {
            command.add("-cp");
            command.add(modClasspath());
            command.add(Child.class.getName());
        }
        command.add(server.baseUrl());
        ProcessBuilder builder = new ProcessBuilder(command).redirectErrorStream(true);
        // A UTF-8 locale, as on players' desktops, so the JVM can name
        // non-ASCII paths.
        builder.environment().put("LC_ALL", "C.UTF-8");
        builder.environment().putAll(environment);
        if (cache == null) {
            builder.environment().remove("XDG_CACHE_HOME");
        } else {
            builder.environment().put("XDG_CACHE_HOME", cache.toString());
        }
        if (workDir != null) {
            builder.directory(workDir.toFile());
        }
        return builder.start();
    }

    private static String modClasspath() {
        return nativesJar() + ":" + System.getProperty("tarnwick.modClasspath");
    }

    /** The output of a child JVM that ended well, whether or not it loaded the library. */
    private static String output(Process process) throws Exception {
        CompletableFuture<String> output = CompletableFuture.supplyAsync(() -> {
            try {
                return new String(process.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
            } catch (IOException e) {
                throw new java.io.UncheckedIOException(e);
            }
        });
        if (!process.waitFor(Timeouts.seconds(60), TimeUnit.SECONDS)) {
            process.destroyForcibly();
            throw new AssertionError("child JVM did not finish");
        }
        String text = output.get(Timeouts.seconds(10), TimeUnit.SECONDS);
        assertEquals(0, process.exitValue(), () -> "child JVM failed: " + text);
        assertTrue(!ChildJvm.JNI_WARNING.matcher(text).find(), () -> "JNI warning in child: " + text);
        return text;
    }

    private static Run finish(Process process) throws Exception {
        String text = output(process);
        assertTrue(text.contains("signIn 200 ok"), () -> "the call did not complete: " + text);
        Matcher mapped = Pattern.compile("mapped (\\S.*libtarnwick\\.so)").matcher(text);
        assertTrue(mapped.find(), () -> "libtarnwick.so is not mapped: " + text);
        return new Run(Paths.get(mapped.group(1)), text);
    }

    private Run runOnce(Path gameDir) throws Exception {
        return finish(launch(gameDir, temp.resolve("tmp")));
    }

    private static String sha256(byte[] bytes) throws Exception {
        StringBuilder hex = new StringBuilder();
        for (byte b : MessageDigest.getInstance("SHA-256").digest(bytes)) {
            hex.append(String.format("%02x", b));
        }
        return hex.toString();
    }

    private static byte[] jarLibrary() throws IOException {
        try (ZipFile jar = new ZipFile(nativesJar().toFile())) {
            return jar.getInputStream(jar.getEntry(LIBRARY_ENTRY)).readAllBytes();
        }
    }

    private static FileTime ago(Duration age) {
        return FileTime.from(Instant.now().minus(age));
    }

    private static String mode(Path path) throws IOException {
        return PosixFilePermissions.toString(Files.getPosixFilePermissions(path));
    }

    private static Object fileKey(Path file) throws IOException {
        return Files.readAttributes(file, BasicFileAttributes.class).fileKey();
    }

    @Test
    void twoInstancesExtractOnceAndLaterStartsReuseTheCopy() throws Exception {
        Files.createDirectories(temp.resolve("tmp"));
        Path gameDir = temp.resolve("Spiel von Jörg");
        Process first = launch(gameDir, temp.resolve("tmp"));
        Process second = launch(gameDir, temp.resolve("tmp"));
        Run one = finish(first);
        Run two = finish(second);
        assertEquals(one.library, two.library);
        String hash = sha256(jarLibrary());
        Path folder = one.library.getParent();
        assertEquals(gameDir.resolve("tarnwick-natives"), folder.getParent());
        assertTrue(folder.getFileName().toString().endsWith("-" + hash.substring(0, 12)),
                () -> "not a versioned folder: " + folder);
        assertEquals(hash, sha256(Files.readAllBytes(one.library)));
        try (Stream<Path> files = Files.list(folder)) {
            assertEquals(List.of("libtarnwick.so", "libtarnwick.so.lock"), files
                    .map(p -> p.getFileName().toString()).sorted()
                    .collect(Collectors.toList()), "temporary files left behind");
        }
        // The step that decides between instances starting together: a copy in
        // place is never replaced by a later one, and a free name takes the copy
        // as it is.
        Method link = Class.forName("tarnwick.natives.Installer").getDeclaredMethod(
                "linkUnlessPresent", Path.class, Path.class);
        link.setAccessible(true);
        Object placed = fileKey(one.library);
        Path late = Files.write(folder.resolve("late.part"), Files.readAllBytes(one.library));
        assertEquals(false, link.invoke(null, late, one.library));
        assertEquals(placed, fileKey(one.library), "a later instance replaced the copy in place");
        Path free = folder.resolve("free.so");
        assertEquals(true, link.invoke(null, late, free));
        assertEquals(fileKey(late), fileKey(free));
        Files.delete(late);
        Files.delete(free);

        // Created owner-only although the children ran under umask 000.
        for (Path created : List.of(gameDir, folder.getParent(), folder)) {
            assertEquals("rwx------", mode(created), created::toString);
        }

        // What an interrupted start and an older version left, beside what is
        // not the extractor's.
        Path natives = folder.getParent();
        Path oldVersion = Files.createDirectories(natives.resolve("0.0.1-aaaaaaaaaaaa"));
        Path oldLibrary = Files.write(oldVersion.resolve("libtarnwick.so"), new byte[] {1});
        Path oldPart = Files.write(folder.resolve("libtarnwick.so.123.part"), new byte[] {1});
        Path livePart = Files.write(folder.resolve("libtarnwick.so.456.part"), new byte[] {1});
        Path recentVersion = Files.createDirectories(natives.resolve("0.0.3-cccccccccccc"));
        Files.write(recentVersion.resolve("libtarnwick.so"), new byte[] {1});
        Files.setLastModifiedTime(recentVersion, ago(Duration.ofDays(6)));
        Files.setLastModifiedTime(livePart, ago(Duration.ofMinutes(5)));
        Path notOurs = Files.write(Files.createDirectories(natives.resolve("0.0.2-bbbbbbbbbbbb"))
                .resolve("notes.txt"), new byte[] {1});
        for (Path old : List.of(oldLibrary, oldVersion, notOurs, notOurs.getParent())) {
            Files.setLastModifiedTime(old, ago(Duration.ofDays(30)));
        }
        Files.setLastModifiedTime(oldPart, ago(Duration.ofHours(1)));
        // A copy an earlier class loader got, and one still being loaded.
        Path oldCopy = Files.write(folder.resolve("libtarnwick.8812.so"), new byte[] {1});
        Path liveCopy = Files.write(folder.resolve("libtarnwick.9913.so"), new byte[] {1});
        Files.setLastModifiedTime(oldCopy, ago(Duration.ofHours(1)));
        // A version-named link to a folder elsewhere: cleanup never goes through it.
        Path elsewhere = Files.createDirectories(temp.resolve("elsewhere"));
        Path notAnOldVersion = Files.write(elsewhere.resolve("libtarnwick.so"), new byte[] {1});
        Files.setLastModifiedTime(notAnOldVersion, ago(Duration.ofDays(30)));
        Path versionLink = Files.createSymbolicLink(natives.resolve("0.0.0-dddddddddddd"), elsewhere);
        Files.setLastModifiedTime(elsewhere, ago(Duration.ofDays(30)));
        Process touch = new ProcessBuilder("touch", "-h", "-d", "30 days ago", versionLink.toString())
                .inheritIO().start();
        assertEquals(0, touch.waitFor(), "touch -h");
        // The copy in use, older than any temporary file: kept.
        Files.setLastModifiedTime(one.library, ago(Duration.ofDays(30)));

        Object key = fileKey(one.library);
        long modified = Files.getLastModifiedTime(one.library).toMillis();
        Files.setLastModifiedTime(liveCopy, ago(Duration.ofMinutes(5)));
        // A launcher that starts the game in its directory and names it ".".
        Run third =
                finish(launch(Paths.get("."), temp.resolve("tmp"), temp.resolve("cache"), gameDir));
        assertEquals(one.library, third.library);
        assertEquals(key, fileKey(third.library), "the copy was written again");
        assertEquals(modified, Files.getLastModifiedTime(third.library).toMillis());
        assertTrue(Files.notExists(oldVersion), "an old version's folder was left");
        assertTrue(Files.notExists(oldPart), "an interrupted start's file was left");
        assertTrue(Files.notExists(oldCopy), "an old class loader's copy was left");
        assertTrue(Files.exists(liveCopy), "a copy being loaded was removed");
        assertTrue(Files.exists(notAnOldVersion) && Files.isSymbolicLink(versionLink),
                "cleanup went through a link");
        assertTrue(Files.exists(livePart), "a starting instance's file was removed");
        assertTrue(Files.exists(recentVersion), "a version used this week was removed");
        assertTrue(Files.exists(notOurs), "a file that is not the extractor's was removed");
    }

    @Test
    void aDamagedCopyIsReplacedAndAnUnusableGameDirFallsBackToTmp() throws Exception {
        Files.createDirectories(temp.resolve("tmp"));
        Path gameDir = temp.resolve("game");
        Path library = runOnce(gameDir).library;
        byte[] good = Files.readAllBytes(library);
        byte[] damaged = good.clone();
        damaged[damaged.length / 2] ^= 0x40;
        Files.write(library, damaged);

        Run repaired = runOnce(gameDir);
        assertEquals(library, repaired.library);
        assertEquals(sha256(good), sha256(Files.readAllBytes(library)));

        // A game directory that cannot be created (a file is in its place):
        // the user's cache; and without that too, the user's own directory in
        // java.io.tmpdir, created owner-only.
        Path blocked = temp.resolve("blocked");
        Files.write(blocked, new byte[] {1});
        Path home = temp.resolve("home");
        Run cached = finish(launch(blocked.resolve("game"), temp.resolve("tmp"), null, null,
                "-Duser.home=" + home));
        assertTrue(cached.library.startsWith(home.resolve(".cache").resolve("tarnwick-natives")),
                () -> "not in the user's cache: " + cached.library);
        assertEquals("rwx------", mode(home.resolve(".cache")));
        Run fallback = finish(launch(blocked.resolve("game"), temp.resolve("tmp"),
                blocked.resolve("cache"), null));
        Path own = temp.resolve("tmp").resolve("tarnwick-" + System.getProperty("user.name"));
        assertTrue(fallback.library.startsWith(own.resolve("tarnwick-natives")),
                () -> "not under java.io.tmpdir: " + fallback.library);
        assertEquals("rwx------", mode(own));
        assertEquals(sha256(good), sha256(Files.readAllBytes(fallback.library)));
    }

    /**
     * As another local user would leave them: copies and directories that
     * user owns or may write. Handing files to nobody needs root, as CI runs.
     */
    @Test
    void copiesAndDirectoriesOthersOwnOrCanWriteAreNeverUsed() throws Exception {
        UserPrincipalLookupService users = FileSystems.getDefault().getUserPrincipalLookupService();
        UserPrincipal me = Files.getOwner(Files.createDirectories(temp.resolve("tmp")));
        assumeTrue(me.getName().equals("root"), "needs root to hand files to another user");
        UserPrincipal nobody = users.lookupPrincipalByName("nobody");
        Path gameDir = temp.resolve("game");
        Path library = runOnce(gameDir).library;
        Object key = fileKey(library);

        // A genuine copy that is another user's, then one a shared group may
        // write: neither is loaded, both are replaced.
        Files.setOwner(library, nobody);
        Run replaced = runOnce(gameDir);
        assertEquals(library, replaced.library);
        assertTrue(replaced.output.contains(library + " belongs to nobody"), replaced.output);
        assertEquals(me, Files.getOwner(library));
        assertTrue(!key.equals(fileKey(library)), "another user's copy was loaded");
        Files.getFileAttributeView(library, PosixFileAttributeView.class)
                .setGroup(users.lookupPrincipalByGroupName("nogroup"));
        Files.setPosixFilePermissions(library, PosixFilePermissions.fromString("rw-rw----"));
        Run regrouped = runOnce(gameDir);
        assertTrue(regrouped.output.contains("writable by the group nogroup"), regrouped.output);
        assertEquals("rw-------", mode(library));

        // A folder every user may write: the game directory is not used.
        Files.setPosixFilePermissions(library.getParent(),
                PosixFilePermissions.fromString("rwxrwxrwx"));
        Run cached = runOnce(gameDir);
        assertTrue(cached.library.startsWith(temp.resolve("cache")), cached.output);
        assertTrue(cached.output.contains(library.getParent() + " is writable by every user"),
                cached.output);

        // The shared fallback taken first by someone else, with a genuine copy.
        Path blocked = Files.write(temp.resolve("blocked"), new byte[] {1});
        Path squatted = temp.resolve("tmp").resolve("tarnwick-root");
        Path planted = squatted.resolve(temp.relativize(library).subpath(1, 4));
        Files.createDirectories(planted.getParent());
        Files.copy(library, planted);
        for (Path p = planted; !p.equals(squatted.getParent()); p = p.getParent()) {
            Files.setOwner(p, nobody);
        }
        Run fresh = finish(launch(blocked.resolve("game"), temp.resolve("tmp"),
                blocked.resolve("cache"), null));
        assertTrue(fresh.output.contains(squatted + " belongs to nobody"), fresh.output);
        Path own = fresh.library.getParent().getParent().getParent();
        assertTrue(own.getFileName().toString().matches("tarnwick-root\\.[0-9]+"), own::toString);
        assertEquals(me, Files.getOwner(own));
        assertEquals("rwx------", mode(own));
        // Handed to this user but open to all: still refused; the directory
        // of the last start serves again.
        Files.setOwner(squatted, me);
        Files.setPosixFilePermissions(squatted, PosixFilePermissions.fromString("rwxrwxrwx"));
        Run again = finish(launch(blocked.resolve("game"), temp.resolve("tmp"),
                blocked.resolve("cache"), null));
        assertEquals(fresh.library, again.library);
        assertTrue(again.output.contains(squatted + " is writable by every user"), again.output);
        // A link, even to the user's own directory, is not used either.
        Files.walk(squatted).sorted(Comparator.reverseOrder()).forEach(p -> p.toFile().delete());
        Files.createSymbolicLink(squatted, own);
        Run linked = finish(launch(blocked.resolve("game"), temp.resolve("tmp"),
                blocked.resolve("cache"), null));
        assertTrue(linked.output.contains(squatted + " is a symbolic link"), linked.output);
        // A user name that folds to ASCII carries a hash of the full name.
        Run folded = finish(launch(blocked.resolve("game"), temp.resolve("tmp"),
                blocked.resolve("cache"), null, "-Duser.name=J\u00f6rg"));
        assertTrue(temp.resolve("tmp").relativize(folded.library).getName(0).toString()
                .matches("tarnwick-J_rg-[0-9a-f]{8}"), folded.library::toString);
    }

    /** The shipped example goes on without a library where there is none or it cannot be placed. */
    @Test
    void aModCarriesOnWithoutTheLibrary() throws Exception {
        Path blocked = Files.write(temp.resolve("blocked"), new byte[] {1});
        String mac = output(launch(temp.resolve("game"), temp.resolve("tmp"), temp.resolve("cache"),
                null, "-Dos.name=Mac OS X", "-Dos.arch=aarch64"));
        assertTrue(mac.contains("tarnwick has no native library for Mac OS X on aarch64")
                && mac.contains("carried on without tarnwick"), mac);
        assertTrue(Files.notExists(temp.resolve("game")), "extracted anyway");

        String nowhere = output(launch(blocked.resolve("game"), blocked.resolve("tmp"),
                blocked.resolve("cache"), null));
        assertTrue(nowhere.contains("carried on without tarnwick"), nowhere);
        for (String part : new String[] {"tarnwick could not put its native library libtarnwick.so",
                "in the game directory: " + blocked, "in the user's cache: " + blocked,
                "in java.io.tmpdir: " + blocked}) {
            assertTrue(nowhere.contains(part), () -> "missing \"" + part + "\" in: " + nowhere);
        }
    }

    /**
     * Under a C locale this JVM cannot name a non-ASCII path: a home, cache
     * and java.io.tmpdir with one are refused, each logged; nothing throws.
     * With java.io.tmpdir plain ASCII the library loads from there.
     */
    @Test
    void aCLocaleWithNonAsciiLocationsIsRefusedNeverThrown() throws Exception {
        Path blocked = Files.write(temp.resolve("blocked"), new byte[] {1});
        environment.put("LC_ALL", "C");
        String home = "-Duser.home=" + temp.resolve("h\u00f6me");
        String refused = output(launch(blocked.resolve("game"), temp.resolve("tmp \u00e9"),
                temp.resolve("c\u00e4che"), null, home));
        assertTrue(refused.contains("carried on without tarnwick"), refused);
        for (String part : new String[] {"in the user's cache: \"", "in the user's default cache"
                + " (~/.cache): \"", "in java.io.tmpdir: \""}) {
            assertTrue(Pattern.compile(Pattern.quote(part) + "[^\"]*\" cannot be a path in this JVM")
                    .matcher(refused).find(), () -> "not refused \"" + part + "\": " + refused);
        }
        assertTrue(!refused.contains("InvalidPathException"), refused);
        Run loaded = finish(launch(blocked.resolve("game"), temp.resolve("tmp"),
                temp.resolve("c\u00e4che"), null, home));
        assertTrue(loaded.library.startsWith(temp.resolve("tmp")), loaded.output);
    }

    /**
     * A library named in tarnwick.library.path is checked and loaded, and
     * nothing is copied; one that fails the checks is refused, and the mod
     * carries on without any.
     */
    @Test
    void anInstalledLibraryIsLoadedAsItIsOrRefused() throws Exception {
        Path installed = Files.createDirectories(temp.resolve("usr lib")).resolve("libtarnwick.so");
        Files.write(installed, jarLibrary());
        Files.setPosixFilePermissions(installed, PosixFilePermissions.fromString("rw-r--r--"));
        String property = "-D" + NativeLibraryExtractor.LIBRARY_PATH_PROPERTY + "=" + installed;
        Run run = finish(launch(temp.resolve("game"), temp.resolve("tmp"), temp.resolve("cache"),
                null, property));
        assertEquals(installed, run.library);
        assertTrue(run.output.contains("tarnwick's native library is " + installed + ", installed"),
                run.output);
        for (String unused : new String[] {"game", "tmp", "cache"}) {
            assertTrue(Files.notExists(temp.resolve(unused)), () -> "copied to " + unused);
        }
        Files.setPosixFilePermissions(installed, PosixFilePermissions.fromString("rw-rw-rw-"));
        String refused = output(launch(temp.resolve("game"), temp.resolve("tmp"),
                temp.resolve("cache"), null, property));
        assertTrue(refused.contains("carried on without tarnwick")
                && refused.contains(installed + " is writable by every user"), refused);
        assertTrue(Files.notExists(temp.resolve("game")), "copied after a refusal");
    }

    /**
     * Java 24 and later warn on System.load unless native access is enabled:
     * on the command line, or in the manifest of the jar the game starts from.
     */
    @Test
    void nativeAccessSwitchesSilenceTheRestrictedMethodWarning() throws Exception {
        assumeTrue(Runtime.version().feature() >= 24, "Java 24 and later only");
        String warning = "WARNING: A restricted method in java.lang.System has been called";
        Files.createDirectories(temp.resolve("tmp"));
        Path gameDir = temp.resolve("game");
        Run plain = finish(launch(gameDir, temp.resolve("tmp")));
        assertTrue(plain.output.contains(warning), plain.output);
        Run flag = finish(launch(gameDir, temp.resolve("tmp"), temp.resolve("cache"), null,
                "--enable-native-access=ALL-UNNAMED"));
        assertTrue(!flag.output.contains("restricted method"), flag.output);

        Manifest manifest = new Manifest();
        Attributes main = manifest.getMainAttributes();
        main.put(Attributes.Name.MANIFEST_VERSION, "1.0");
        main.put(Attributes.Name.MAIN_CLASS, Child.class.getName());
        main.put(new Attributes.Name("Enable-Native-Access"), "ALL-UNNAMED");
        main.put(Attributes.Name.CLASS_PATH, Stream.of(modClasspath().split(":"))
                .map(entry -> Paths.get(entry).toUri().toString())
                .collect(Collectors.joining(" ")));
        Path game = temp.resolve("game.jar");
        new JarOutputStream(Files.newOutputStream(game), manifest).close();
        Run jar = finish(launch(gameDir, temp.resolve("tmp"), temp.resolve("cache"), null, "-jar",
                game.toString()));
        assertTrue(!jar.output.contains("restricted method"), jar.output);

        // Denied: System.load throws IllegalCallerException, and the mod goes
        // on without the library, saying why and what allows it.
        String denied = output(launch(gameDir, temp.resolve("tmp"), temp.resolve("cache"), null,
                "--illegal-native-access=deny"));
        for (String part : new String[] {"carried on without tarnwick", "IllegalCallerException",
                "--enable-native-access=ALL-UNNAMED"}) {
            assertTrue(denied.contains(part), () -> "missing \"" + part + "\" in: " + denied);
        }
    }

    /**
     * Jars as a build tool puts them on the class path: the extractor in one,
     * each platform's library in a classifier jar of its own, with the same
     * layout as the jar with every platform.
     */
    @Test
    void aClassifierJarServesItsPlatformOnlyAndAnotherOneIsNoError() throws Exception {
        Path extractorOnly = filteredJar("extractor.jar", name -> name.startsWith("tarnwick/"),
                Map.of());
        String fakeDll = "MZ not a real DLL";
        Path windowsOnly = filteredJar("natives-windows-x86_64.jar", name -> false,
                Map.of("natives/windows-x86_64/tarnwick.version", "0.0.1\n",
                        "natives/windows-x86_64/tarnwick.dll", fakeDll,
                        "natives/windows-x86_64/tarnwick.dll.sha256",
                        sha256(fakeDll.getBytes(StandardCharsets.US_ASCII)) + "  tarnwick.dll\n"));
        Path thisPlatform = filteredJar("natives-" + PLATFORM + ".jar",
                name -> name.startsWith("natives/" + PLATFORM + "/"), Map.of());
        try (URLClassLoader jars = new URLClassLoader(
                new URL[] {extractorOnly.toUri().toURL(), windowsOnly.toUri().toURL()}, null)) {
            Class<?> extractor = jars.loadClass(NativeLibraryExtractor.class.getName());
            assertEquals(false, extractor.getMethod("isSupported").invoke(null));
            assertEquals(false, extractor.getMethod("isSupported", String.class, String.class)
                    .invoke(null, "Linux", ARCH));
            assertEquals(true, extractor.getMethod("isSupported", String.class, String.class)
                    .invoke(null, "Windows 10", "amd64"));
            InvocationTargetException none = assertThrows(InvocationTargetException.class,
                    () -> extractorIn(jars).invoke(null, temp.resolve("game"), "Linux", ARCH));
            assertSame(UnsatisfiedLinkError.class, none.getCause().getClass());
            assertTrue(none.getCause().getMessage().contains("this class path holds: windows-x86_64"),
                    none.getCause().getMessage());
        }
        try (URLClassLoader jars = new URLClassLoader(
                new URL[] {extractorOnly.toUri().toURL(), thisPlatform.toUri().toURL()}, null)) {
            Path library = (Path) extractorIn(jars).invoke(null, temp.resolve("game"), "Linux", ARCH);
            assertEquals(sha256(jarLibrary()), sha256(Files.readAllBytes(library)));
            assertTrue(library.startsWith(temp.resolve("game").resolve("tarnwick-natives")),
                    library::toString);
        }
    }

    /**
     * The natives jar split as a build tool resolves it, each jar a module of
     * its own name: the extractor's jar (the natives jar's classes and
     * manifest) and this platform's classifier jar.
     */
    private Path[] moduleJars(Path folder) throws IOException {
        Files.createDirectories(folder);
        Path extractor = moduleJar(folder.resolve("tarnwick-extractor.jar"), null,
                name -> name.startsWith("tarnwick/") || name.equals("META-INF/MANIFEST.MF"));
        Path classifier = moduleJar(folder.resolve("tarnwick-natives-natives-" + PLATFORM + ".jar"),
                "tarnwick.natives." + PLATFORM.replace('-', '.'),
                name -> name.startsWith("natives/" + PLATFORM + "/"));
        return new Path[] {extractor, classifier};
    }

    /** The natives jar's entries that {@code keep} accepts, with a manifest naming a module. */
    private static Path moduleJar(Path out, String module,
            java.util.function.Predicate<String> keep) throws IOException {
        try (ZipFile jar = new ZipFile(nativesJar().toFile());
                ZipOutputStream zip = new ZipOutputStream(Files.newOutputStream(out))) {
            if (module != null) {
                zip.putNextEntry(new ZipEntry("META-INF/MANIFEST.MF"));
                zip.write(("Manifest-Version: 1.0\r\nAutomatic-Module-Name: " + module + "\r\n\r\n")
                        .getBytes(StandardCharsets.US_ASCII));
            }
            for (ZipEntry entry : Collections.list(jar.entries())) {
                if (keep.test(entry.getName())) {
                    zip.putNextEntry(new ZipEntry(entry.getName()));
                    zip.write(jar.getInputStream(entry).readAllBytes());
                }
            }
        }
        return out;
    }

    /** A layer of every module {@code finder} finds, as a modular mod loader builds it. */
    private static ModuleLayer layer(ModuleFinder finder, boolean loaderPerModule) {
        Set<String> all = finder.findAll().stream().map(module -> module.descriptor().name())
                .collect(Collectors.toSet());
        ModuleLayer boot = ModuleLayer.boot();
        Configuration modules = boot.configuration().resolve(finder, ModuleFinder.of(), all);
        ClassLoader parent = ClassLoader.getPlatformClassLoader();
        return loaderPerModule ? boot.defineModulesWithManyLoaders(modules, parent)
                               : boot.defineModulesWithOneLoader(modules, parent);
    }

    /**
     * The extractor and one classifier jar, each its own module, in a module
     * layer built at run time with one loader and with a loader per module
     * (where the extractor's loader does not see the classifier's files), from
     * the two jars and from one directory of mods; and the all-platform jar
     * alone. Each extracts the jar's library, and the native access advice
     * names what applies to where the class sits.
     */
    @Test
    void moduleLayersOfEveryShapeFindTheLibrary() throws Exception {
        Path mods = temp.resolve("mods");
        Path[] jars = moduleJars(mods);
        String expected = sha256(jarLibrary());
        Map<String, ModuleFinder> finders = new java.util.LinkedHashMap<>();
        finders.put("the two jars", ModuleFinder.of(jars));
        finders.put("one directory of mods", ModuleFinder.of(mods));
        finders.put("the all-platform jar", ModuleFinder.of(nativesJar()));
        int game = 0;
        for (Map.Entry<String, ModuleFinder> finder : finders.entrySet()) {
            for (boolean perModule : new boolean[] {false, true}) {
                String shape =
                        finder.getKey() + (perModule ? ", a loader per module" : ", one loader");
                ModuleLayer layer = layer(finder.getValue(), perModule);
                Class<?> extractor = layer.findLoader("tarnwick.natives")
                        .loadClass(NativeLibraryExtractor.class.getName());
                assertEquals("tarnwick.natives", extractor.getModule().getName(), shape);
                assertEquals(true, extractor.getMethod("isSupported", String.class, String.class)
                        .invoke(null, "Linux", ARCH), shape);
                Path library = (Path) extractor.getMethod("extract", Path.class, String.class,
                        String.class).invoke(null, temp.resolve("game" + game++), "Linux", ARCH);
                assertEquals(expected, sha256(Files.readAllBytes(library)), shape);
                String advice = (String) extractor.getMethod("nativeAccessAdvice", Class.class)
                        .invoke(null, extractor);
                assertTrue(advice.contains("module tarnwick.natives is in a module layer")
                        && advice.contains("ModuleLayer.Controller.enableNativeAccess")
                        && !advice.contains("--enable-native-access="), advice);
            }
        }
        // On the class path and in the boot layer, the switch that reaches it.
        String classPath = NativeLibraryExtractor.nativeAccessAdvice(NativesJarTest.class);
        assertTrue(classPath.contains("--enable-native-access=ALL-UNNAMED"), classPath);
        String boot = NativeLibraryExtractor.nativeAccessAdvice(HttpClient.class);
        assertTrue(boot.contains("--enable-native-access=java.net.http")
                && !boot.contains("ALL-UNNAMED"), boot);
    }

    /** The mod as a module jar, example-mod.jar: the shipped example class and its stand-ins. */
    private static Path modJar(Path folder) throws IOException {
        String[] classes = System.getProperty("tarnwick.modClasspath").split(":");
        Path mod = folder.resolve("example-mod.jar");
        try (ZipOutputStream zip = new ZipOutputStream(Files.newOutputStream(mod))) {
            Set<String> added = new java.util.HashSet<>();
            for (String classFolder : List.of(classes[0], classes[1])) {
                Path root = Paths.get(classFolder);
                try (Stream<Path> files = Files.walk(root)) {
                    Iterable<Path> regular = files.filter(Files::isRegularFile)::iterator;
                    for (Path file : regular) {
                        String name = root.relativize(file).toString();
                        if (added.add(name)) {
                            zip.putNextEntry(new ZipEntry(name));
                            zip.write(Files.readAllBytes(file));
                        }
                    }
                }
            }
        }
        return mod;
    }

    /**
     * Java 24 and later, native access denied: a mod in a layer a mod loader
     * built at run time is told that only the layer's controller grants it
     * (the command-line switch that the loader's own code has does not reach
     * the layer), and once the controller has, the mod loads the library and
     * makes a call.
     */
    @Test
    void aModInARunTimeLayerIsToldAboutTheLayersController() throws Exception {
        assumeTrue(Runtime.version().feature() >= 24, "Java 24 and later only");
        Path mods = temp.resolve("layer-mods");
        moduleJars(mods);
        modJar(mods);
        Files.createDirectories(temp.resolve("tmp"));
        String text = output(launch(temp.resolve("game"), temp.resolve("tmp"),
                temp.resolve("cache"), null, "--illegal-native-access=deny",
                // The mod loader's own code (here on the class path) needs
                // native access to grant it; the switch does not reach the layer.
                "--enable-native-access=ALL-UNNAMED", "-Dtarnwick.mods=" + mods, "-cp",
                System.getProperty("tarnwick.modClasspath"), LayerMod.class.getName()));
        for (String part : new String[] {"denied: loadNatives false", "IllegalCallerException",
                "the module example.mod is in a module layer built at run time",
                "ModuleLayer.Controller.enableNativeAccess", "granted: signIn 200 ok"}) {
            assertTrue(text.contains(part), () -> "missing \"" + part + "\" in: " + text);
        }
        assertTrue(!text.contains("--enable-native-access=ALL-UNNAMED"), text);
    }

    /**
     * For the child JVMs, a class of its own: they have the JDK and the test
     * support on their class path, not what this test class refers to.
     */
    static final class ChildCalls {
        private ChildCalls() {}

        /**
         * A signIn through {@code helper}, the example class of one mod, answered
         * as "<status> <body>" within 30 s.
         */
        static Object signIn(Class<?> helper, String baseUrl) throws Exception {
            CompletableFuture<Object> signedIn = new CompletableFuture<>();
            helper.getMethod("signIn", String.class, String.class, String.class,
                    java.util.function.BiConsumer.class).invoke(null, baseUrl, "u", "c",
                    (java.util.function.BiConsumer<HttpResponse<String>, Throwable>)
                            (response, failure) -> {
                                if (failure != null) {
                                    signedIn.completeExceptionally(failure);
                                } else {
                                    signedIn.complete(response.statusCode() + " " + response.body());
                                }
                            });
            return signedIn.get(Timeouts.seconds(30), TimeUnit.SECONDS);
        }
    }

    /** The child JVM of the layer test: the mods in a layer with a loader per module. */
    public static final class LayerMod {
        private LayerMod() {}

        public static void main(String[] args) throws Exception {
            ModuleFinder finder = ModuleFinder.of(Paths.get(System.getProperty("tarnwick.mods")));
            Set<String> all = finder.findAll().stream().map(module -> module.descriptor().name())
                    .collect(Collectors.toSet());
            ModuleLayer boot = ModuleLayer.boot();
            ModuleLayer.Controller controller = ModuleLayer.defineModulesWithManyLoaders(
                    boot.configuration().resolve(finder, ModuleFinder.of(), all), List.of(boot),
                    ClassLoader.getPlatformClassLoader());
            Module mod = controller.layer().findModule("example.mod").orElseThrow();
            Class<?> helper = Class.forName(TarnwickServerConnectionHelper.class.getName(), true,
                    mod.getClassLoader());
            Method load = helper.getMethod("loadNatives", Path.class);
            Path gameDir = Paths.get(System.getProperty("tarnwick.gameDir"));
            System.out.println("denied: loadNatives " + load.invoke(null, gameDir));
            // Java 22 and later; the tests compile for Java 11.
            ModuleLayer.Controller.class.getMethod("enableNativeAccess", Module.class)
                    .invoke(controller, mod);
            if (!(Boolean) load.invoke(null, gameDir)) {
                System.out.println("granted: loadNatives false");
                return;
            }
            System.out.println("granted: signIn " + ChildCalls.signIn(helper, args[0]));
        }
    }

    /**
     * ContractCheck run from a module path, the mod a module there too: it
     * says the one switch the module path leaves out, and passes with it.
     */
    @Test
    void contractCheckOnAModulePathNamesWhatToAdd() throws Exception {
        Path mods = Files.createDirectories(temp.resolve("contract-mods"));
        moduleJars(mods);
        modJar(mods);
        String java = System.getProperty("tarnwick.java", "java");
        String main = "tarnwick.natives/" + "tarnwick.natives.ContractCheck";
        String[][] runs = {{java, "-p", mods.toString(), "-m", main},
            {java, "-p", mods.toString(), "--add-modules", "java.net.http,ALL-MODULE-PATH", "-m",
                main}};
        String[] outputs = new String[2];
        int[] status = new int[2];
        for (int i = 0; i < runs.length; i++) {
            Process process = new ProcessBuilder(runs[i]).redirectErrorStream(true).start();
            outputs[i] =
                    new String(process.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
            assertTrue(process.waitFor(Timeouts.seconds(60), TimeUnit.SECONDS),
                    "ContractCheck hung");
            status[i] = process.exitValue();
        }
        assertTrue(status[0] == 1
                && outputs[0].contains("run it with --add-modules java.net.http,ALL-MODULE-PATH"),
                outputs[0]);
        assertTrue(status[1] == 0 && outputs[1].contains("tarnwick contract: all "), outputs[1]);
    }

    /**
     * A class loader as some mod loaders make them: the classes and files
     * under {@code roots} (jars opened as zip file systems, a jar nested in
     * another among them), with the files served one way only.
     */
    private static final class OneWayLoader extends ClassLoader {
        /** How files are served: getResourceAsStream, getResource (own scheme), neither. */
        enum Serves { STREAM, URL, NOTHING }

        private final Serves serves;
        private final List<Path> roots;

        OneWayLoader(Serves serves, List<Path> roots) {
            super(ClassLoader.getPlatformClassLoader());
            this.serves = serves;
            this.roots = roots;
        }

        private Path file(String name) {
            for (Path root : roots) {
                Path file = root.resolve(name);
                if (Files.isRegularFile(file)) {
                    return file;
                }
            }
            return null;
        }

        @Override
        protected Class<?> findClass(String name) throws ClassNotFoundException {
            Path file = file(name.replace('.', '/') + ".class");
            if (file == null) {
                throw new ClassNotFoundException(name);
            }
            try {
                byte[] bytes = Files.readAllBytes(file);
                return defineClass(name, bytes, 0, bytes.length);
            } catch (IOException e) {
                throw new ClassNotFoundException(name, e);
            }
        }

        @Override
        public URL getResource(String name) {
            Path file = serves == Serves.URL ? file(name) : null;
            if (file == null) {
                return null;
            }
            try {
                return new URL("modfile", null, -1, "/" + name, new URLStreamHandler() {
                    @Override
                    protected URLConnection openConnection(URL url) {
                        return new URLConnection(url) {
                            @Override
                            public void connect() {}

                            @Override
                            public InputStream getInputStream() throws IOException {
                                return Files.newInputStream(file);
                            }
                        };
                    }
                });
            } catch (java.net.MalformedURLException e) {
                throw new IllegalStateException(e);
            }
        }

        @Override
        public Enumeration<URL> getResources(String name) {
            URL url = getResource(name);
            return Collections.enumeration(url == null ? List.of() : List.of(url));
        }

        @Override
        public InputStream getResourceAsStream(String name) {
            Path file = serves == Serves.STREAM ? file(name) : null;
            try {
                return file == null ? null : Files.newInputStream(file);
            } catch (IOException e) {
                return null;
            }
        }
    }

    /**
     * The extractor and ContractCheck read their files through whichever
     * lookup the loader answers: only the stream, only a URL of the loader's
     * own scheme, the stream of a jar nested in the mod's jar. A loader that
     * answers neither is named as the cause, not a platform without a library.
     */
    @Test
    void everyFormOfResourceLookupIsReadAndNoneIsNamed() throws Exception {
        Path[] jars = moduleJars(temp.resolve("jars"));
        Path outer = temp.resolve("mod-with-nested-jar.jar");
        try (ZipOutputStream zip = new ZipOutputStream(Files.newOutputStream(outer))) {
            zip.putNextEntry(new ZipEntry("META-INF/jars/tarnwick-natives.jar"));
            zip.write(Files.readAllBytes(nativesJar()));
        }
        List<java.nio.file.FileSystem> open = new ArrayList<>();
        try {
            List<Path> split = new ArrayList<>();
            for (Path jar : jars) {
                open.add(FileSystems.newFileSystem(jar, (ClassLoader) null));
                split.add(open.get(open.size() - 1).getPath("/"));
            }
            open.add(FileSystems.newFileSystem(outer, (ClassLoader) null));
            Path inner = open.get(open.size() - 1).getPath("/META-INF/jars/tarnwick-natives.jar");
            open.add(FileSystems.newFileSystem(inner, (ClassLoader) null));
            List<Path> nested = List.of(open.get(open.size() - 1).getPath("/"));

            String expected = sha256(jarLibrary());
            Object[][] served = {
                {OneWayLoader.Serves.STREAM, split, "only getResourceAsStream"},
                {OneWayLoader.Serves.URL, split, "only getResource, its own URL scheme"},
                {OneWayLoader.Serves.STREAM, nested, "a jar nested in the mod's jar"},
            };
            int game = 0;
            for (Object[] form : served) {
                @SuppressWarnings("unchecked")
                ClassLoader loader =
                        new OneWayLoader((OneWayLoader.Serves) form[0], (List<Path>) form[1]);
                String what = (String) form[2];
                Class<?> extractor = loader.loadClass(NativeLibraryExtractor.class.getName());
                assertEquals(true, extractor.getMethod("isSupported", String.class, String.class)
                        .invoke(null, "Linux", ARCH), what);
                // A platform no jar holds (the release's all-platform jar, nested
                // here, holds Windows too): the message lists what the loader serves.
                InvocationTargetException none = assertThrows(InvocationTargetException.class,
                        () -> extractorIn(extractor).invoke(null, temp, "Mac OS X", "aarch64"),
                        what);
                String holds = String.valueOf(none.getCause().getMessage());
                assertTrue(none.getCause() instanceof UnsatisfiedLinkError
                        && holds.contains("this class path holds: ") && holds.contains(PLATFORM),
                        () -> what + ": " + none.getCause());
                Path library = (Path) extractorIn(extractor)
                        .invoke(null, temp.resolve("game" + game++), "Linux", ARCH);
                assertEquals(expected, sha256(Files.readAllBytes(library)), what);
                List<String> problems = contractProblems(loader);
                assertTrue(problems.stream().noneMatch(p -> p.contains("native-methods.txt")),
                        () -> what + ": " + problems);
            }

            ClassLoader deaf = new OneWayLoader(OneWayLoader.Serves.NOTHING, split);
            Class<?> extractor = deaf.loadClass(NativeLibraryExtractor.class.getName());
            // Cannot tell, so the mod goes on to extract, which says why.
            assertEquals(true, extractor.getMethod("isSupported", String.class, String.class)
                    .invoke(null, "Linux", ARCH));
            InvocationTargetException refused = assertThrows(InvocationTargetException.class,
                    () -> extractorIn(extractor).invoke(null, temp.resolve("deaf"), "Linux", ARCH));
            String message = String.valueOf(refused.getCause().getMessage());
            assertTrue(refused.getCause() instanceof IOException
                    && message.contains("cannot read the files shipped beside its extractor")
                    && message.contains("getResourceAsStream and getResource of the class loader")
                    && !message.contains("has no native library"), message);
            List<String> problems = contractProblems(deaf);
            assertTrue(problems.stream().anyMatch(
                    p -> p.contains("native-methods.txt is not beside")
                            && p.contains("not even ContractCheck's own class file")),
                    problems::toString);
        } finally {
            Collections.reverse(open);
            for (java.nio.file.FileSystem fileSystem : open) {
                fileSystem.close();
            }
        }
    }

    private static Method extractorIn(Class<?> extractor) throws Exception {
        return extractor.getMethod("extract", Path.class, String.class, String.class);
    }

    @SuppressWarnings("unchecked")
    private static List<String> contractProblems(ClassLoader loader) throws Exception {
        return (List<String>) loader.loadClass("tarnwick.natives.ContractCheck")
                .getMethod("check", ClassLoader.class).invoke(null, loader);
    }

    /** The natives jar's entries that {@code keep} accepts, plus {@code extra} text entries. */
    private Path filteredJar(String name, java.util.function.Predicate<String> keep,
            Map<String, String> extra) throws IOException {
        Path out = temp.resolve(name);
        try (ZipFile jar = new ZipFile(nativesJar().toFile());
                ZipOutputStream zip = new ZipOutputStream(Files.newOutputStream(out))) {
            for (ZipEntry entry : Collections.list(jar.entries())) {
                if (keep.test(entry.getName())) {
                    zip.putNextEntry(new ZipEntry(entry.getName()));
                    zip.write(jar.getInputStream(entry).readAllBytes());
                }
            }
            for (Map.Entry<String, String> entry : extra.entrySet()) {
                zip.putNextEntry(new ZipEntry(entry.getKey()));
                zip.write(entry.getValue().getBytes(StandardCharsets.US_ASCII));
            }
        }
        return out;
    }

    /**
     * A JVM with three child class loaders, each holding the mod's classes and
     * the natives jar, as a launcher that reloads mods makes them: the first
     * loads the library, the second gets a copy of its own, and both complete
     * a call and load a model. Then the first is closed and dropped, is
     * collected, and a third loader loads and works.
     */
    @Test
    void everyClassLoaderGetsAVerifiedCopyOfItsOwn() throws Exception {
        byte[] model = Models.seal("{\"hat\":1}".getBytes(StandardCharsets.UTF_8));
        server.respondWith((exchange, request) -> {
            if (request.rawPath.equals("/models/hat.enc")) {
                RecordingServer.reply(exchange, 200, model);
            } else {
                RecordingServer.reply(exchange, 200, "ok");
            }
        });
        Path gameDir = temp.resolve("game");
        Files.createDirectories(temp.resolve("tmp"));
        String text = output(launch(gameDir, temp.resolve("tmp"), temp.resolve("cache"), null,
                "-cp", modClasspath(), Loaders.class.getName()));
        Map<String, String> mapped = new java.util.HashMap<>();
        Matcher line = Pattern.compile("(?m)^(first|second|third) signIn 200 ok, mesh \\{\"hat\":1\\},"
                + " mapped (\\S+)$").matcher(text);
        while (line.find()) {
            mapped.put(line.group(1), line.group(2));
        }
        assertEquals(3, mapped.size(), () -> "not every loader worked: " + text);
        Path folder = Paths.get(mapped.get("first")).getParent();
        assertEquals(folder.resolve("libtarnwick.so").toString(), mapped.get("first"), text);
        for (String other : List.of("second", "third")) {
            Path copy = Paths.get(mapped.get(other));
            assertEquals(folder, copy.getParent(), text);
            assertTrue(copy.getFileName().toString().matches("libtarnwick\\.[0-9]+\\.so"), text);
            assertEquals(sha256(jarLibrary()), sha256(Files.readAllBytes(copy)));
            assertEquals("rw-------", mode(copy));
        }
        assertTrue(!mapped.get("second").equals(mapped.get("third")), text);
        assertTrue(text.contains("first loader collected"), text);

        // Two mods sharing one extractor in a parent loader, each carrying the
        // natives: the class that calls extract decides, so the extractor
        // finds the natives through that class's loader and the second mod
        // gets a copy of its own.
        Path[] split = moduleJars(temp.resolve("split"));
        String shared = output(launch(gameDir, temp.resolve("tmp"), temp.resolve("cache"), null,
                "-Dtarnwick.parentJar=" + split[0], "-Dtarnwick.childJar=" + split[1], "-cp",
                modClasspath(), Loaders.class.getName()));
        Map<String, String> sharing = new java.util.HashMap<>();
        Matcher sharedLine = line.pattern().matcher(shared);
        while (sharedLine.find()) {
            sharing.put(sharedLine.group(1), sharedLine.group(2));
        }
        assertEquals(Set.of("first", "second"), sharing.keySet(),
                () -> "not both mods worked: " + shared);
        assertEquals(folder.resolve("libtarnwick.so").toString(), sharing.get("first"), shared);
        Path sharedCopy = Paths.get(sharing.get("second"));
        assertEquals(folder, sharedCopy.getParent(), shared);
        assertTrue(sharedCopy.getFileName().toString().matches("libtarnwick\\.[0-9]+\\.so"),
                shared);
        assertEquals(sha256(jarLibrary()), sha256(Files.readAllBytes(sharedCopy)));
    }

    @Test
    void jvmPlatformsMapToJarEntries() {
        assertEquals("linux-x86_64", NativeLibraryExtractor.platform("Linux", "amd64"));
        assertEquals("linux-aarch64", NativeLibraryExtractor.platform("Linux", "aarch64"));
        assertEquals("linux-aarch64", NativeLibraryExtractor.platform("Linux", "arm64"));
        assertEquals("windows-x86_64", NativeLibraryExtractor.platform("Windows 11", "amd64"));
    }

    @Test
    void errorsNameWhatIsMissingOrWhyLoadingFailed() throws Exception {
        // The extractor as the natives jar carries it, with the jar's resources.
        try (URLClassLoader jar = new URLClassLoader(new URL[] {nativesJar().toUri().toURL()}, null)) {
            Class<?> extractor = jar.loadClass(NativeLibraryExtractor.class.getName());
            Method extract = extractor.getMethod("extract", Path.class, String.class, String.class);
            Method supported = extractor.getMethod("isSupported", String.class, String.class);
            assertEquals(true, supported.invoke(null, "Linux", ARCH));
            assertEquals(false, supported.invoke(null, "Mac OS X", "aarch64"));
            InvocationTargetException wrapped = assertThrows(InvocationTargetException.class,
                    () -> extract.invoke(null, temp, "Mac OS X", "aarch64"));
            Throwable error = wrapped.getCause();
            assertSame(UnsatisfiedLinkError.class, error.getClass());
            assertTrue(error.getMessage().contains("os.name=\"Mac OS X\", os.arch=\"aarch64\""),
                    error.getMessage());
            String held = error.getMessage().substring(error.getMessage().indexOf("holds: "));
            assertTrue(held.contains(PLATFORM), error.getMessage());
            assertTrue(Files.notExists(temp.resolve("tarnwick-natives")), "extracted anyway");
        }
        // Known platform, but no natives on this class path at all.
        assertTrue(!NativeLibraryExtractor.isSupported("Windows 10", "amd64"));
        UnsatisfiedLinkError none = assertThrows(UnsatisfiedLinkError.class,
                () -> NativeLibraryExtractor.extract(temp, "Windows 10", "amd64"));
        assertTrue(none.getMessage().contains("windows-x86_64"), none.getMessage());

        // A real failed load: a file that is no library, in a non-ASCII folder.
        Path bogus = Files.createDirectories(temp.resolve("Jörg")).resolve("libtarnwick.so");
        Files.write(bogus, "not a library".getBytes(StandardCharsets.US_ASCII));
        UnsatisfiedLinkError original =
                assertThrows(UnsatisfiedLinkError.class, () -> System.load(bogus.toString()));
        UnsatisfiedLinkError explained = NativeLibraryExtractor.explainLoadFailure(original, bogus);
        assertSame(original, explained.getCause());
        String message = explained.getMessage();
        for (String part : new String[] {"tarnwick could not load its native library " + bogus,
                sha256("not a library".getBytes(StandardCharsets.US_ASCII)),
                "not a library for this platform", "non-ASCII", original.getMessage()}) {
            assertTrue(message.contains(part), () -> "missing \"" + part + "\" in: " + message);
        }
        assertTrue(!NativeLibraryExtractor.explainLoadFailure(original, temp.resolve("plain.so"))
                .getMessage().contains("non-ASCII"), "non-ASCII named for a plain path");

        // Real loads of another system's and another processor's library: the
        // JVM's own words, and what the file is.
        byte[] foreign = jarLibrary();
        foreign[18] = (byte) (ARCH.equals("x86_64") ? 183 : 62);   // e_machine: the other one
        foreign[19] = 0;
        Path otherArch = Files.write(temp.resolve("other-arch.so"), foreign);
        UnsatisfiedLinkError archError =
                assertThrows(UnsatisfiedLinkError.class, () -> System.load(otherArch.toString()));
        String archText = NativeLibraryExtractor.explainLoadFailure(archError, otherArch)
                .getMessage();
        assertTrue(archText.contains("built for another processor")
                && !archText.contains("missing"), archText);
        Path dll = Files.write(temp.resolve("windows.so"), "MZ\u0090\0 a DLL".getBytes(
                StandardCharsets.ISO_8859_1));
        UnsatisfiedLinkError dllError =
                assertThrows(UnsatisfiedLinkError.class, () -> System.load(dll.toString()));
        String dllText = NativeLibraryExtractor.explainLoadFailure(dllError, dll).getMessage();
        assertTrue(dllText.contains("the file is a Windows (PE) library")
                && !dllText.contains("damaged"), dllText);
        // A Linux library where Windows expects a DLL, as Windows reports it.
        String osName = System.getProperty("os.name");
        String elfText;
        try {
            System.setProperty("os.name", "Windows 10");
            elfText = NativeLibraryExtractor.explainLoadFailure(new UnsatisfiedLinkError(
                    "C:\\game\\tarnwick.dll: %1 is not a valid Win32 application"), otherArch)
                    .getMessage();
        } finally {
            System.setProperty("os.name", osName);
        }
        assertTrue(elfText.contains("the file is a Linux (ELF) library")
                && !elfText.contains("damaged"), elfText);

        // Each error gets the causes that fit it, and only those.
        Path missing = temp.resolve("missing.so");
        UnsatisfiedLinkError gone =
                assertThrows(UnsatisfiedLinkError.class, () -> System.load(missing.toString()));
        Path plain = Files.write(temp.resolve("plain.so"), new byte[] {1});
        String[][] cases = {
            {gone.getMessage(), "the file is missing"},
            {"Native Library " + plain + " already loaded in another classloader",
                "another class loader in this JVM has loaded this file already"},
            {plain + ": wrong ELF class: ELFCLASS32", "built for another processor"},
            // The JVM's words on Windows for a DLL of another processor.
            {"Can't load IA 32-bit .dll on a AMD 64-bit platform", "built for another processor"},
            {"Can't load this .dll (machine code=0xaa64) on a AMD 64-bit platform",
                "built for another processor"},
            {plain + ": failed to map segment from shared object", "mounted noexec"},
            {plain + ": Permission denied", "may not read or run the file"},
            {"Expecting an absolute path of the library: libtarnwick.so", "the path is relative"},
        };
        for (String[] error : cases) {
            String text = NativeLibraryExtractor.explainLoadFailure(
                    new UnsatisfiedLinkError(error[0]),
                    error[1].equals("the file is missing") ? missing : plain).getMessage();
            assertTrue(text.contains(error[1]) && !text.contains("Likely causes"),
                    () -> error[0] + " gave: " + text);
        }
    }

    /** The extractor as the given jar carries it, with that jar's resources. */
    private static Method extractorIn(URLClassLoader jar) throws Exception {
        return jar.loadClass(NativeLibraryExtractor.class.getName())
                .getMethod("extract", Path.class, String.class, String.class);
    }

    @Test
    void aLibraryThatFailsTheJarsOwnHashIsNeverWritten() throws Exception {
        // The jar's library with one byte changed, its .sha256 as it was.
        Path tampered = temp.resolve("tampered.jar");
        try (ZipFile jar = new ZipFile(nativesJar().toFile());
                ZipOutputStream out = new ZipOutputStream(Files.newOutputStream(tampered))) {
            for (ZipEntry entry : Collections.list(jar.entries())) {
                byte[] bytes = jar.getInputStream(entry).readAllBytes();
                if (entry.getName().equals(LIBRARY_ENTRY)) {
                    bytes[bytes.length / 2] ^= 0x40;
                }
                out.putNextEntry(new ZipEntry(entry.getName()));
                out.write(bytes);
            }
        }
        try (URLClassLoader jar = new URLClassLoader(new URL[] {tampered.toUri().toURL()}, null)) {
            Method extract = extractorIn(jar);
            InvocationTargetException refused = assertThrows(InvocationTargetException.class,
                    () -> extract.invoke(null, temp.resolve("game"), "Linux", ARCH));
            assertTrue(refused.getCause() instanceof IOException, () -> "got " + refused.getCause());
        }
        try (Stream<Path> files = Files.walk(temp)) {
            List<Path> written = files.filter(p -> p.getFileName().toString().startsWith("libtarnwick"))
                    .collect(Collectors.toList());
            assertEquals(List.of(), written, "the damaged library was written");
        }
    }

    /** The child JVM of the class-loader test: three loaders, one after another. */
    public static final class Loaders {
        private static final String HELPER = TarnwickServerConnectionHelper.class.getName();

        private Loaders() {}

        public static void main(String[] args) throws Exception {
            URL[] mod = Stream.of(System.getProperty("java.class.path").split(":"))
                    .map(entry -> {
                        try {
                            return Paths.get(entry).toUri().toURL();
                        } catch (java.net.MalformedURLException e) {
                            throw new IllegalArgumentException(e);
                        }
                    })
                    .toArray(URL[]::new);
            String parentJar = System.getProperty("tarnwick.parentJar");
            if (parentJar != null) {
                // Two mods that share one extractor in a parent loader, each
                // with its own classes and its own natives (the classifier jar).
                ClassLoader parent = new URLClassLoader(
                        new URL[] {Paths.get(parentJar).toUri().toURL()},
                        ClassLoader.getPlatformClassLoader());
                URL[] own = java.util.Arrays.copyOf(mod, mod.length);
                own[0] = Paths.get(System.getProperty("tarnwick.childJar")).toUri().toURL();
                use(new URLClassLoader(own, parent), args[0], "first");
                use(new URLClassLoader(own, parent), args[0], "second");
                return;
            }
            java.lang.ref.WeakReference<ClassLoader> first = useAndClose(mod, args[0], "first");
            URLClassLoader second = new URLClassLoader(mod, ClassLoader.getPlatformClassLoader());
            use(second, args[0], "second");
            long start = System.nanoTime();
            while (first.get() != null
                    && System.nanoTime() - start < Timeouts.seconds(20) * 1_000_000_000L) {
                System.gc();
                Thread.sleep(100);
            }
            System.out.println(first.get() == null ? "first loader collected after "
                    + (System.nanoTime() - start) / 1_000_000 + " ms"
                    : "first loader still reachable after 20 s");
            use(new URLClassLoader(mod, ClassLoader.getPlatformClassLoader()), args[0], "third");
        }

        private static java.lang.ref.WeakReference<ClassLoader> useAndClose(URL[] mod,
                String baseUrl, String name) throws Exception {
            URLClassLoader loader = new URLClassLoader(mod, ClassLoader.getPlatformClassLoader());
            use(loader, baseUrl, name);
            Class.forName(HELPER, false, loader).getMethod("close").invoke(null);
            loader.close();
            return new java.lang.ref.WeakReference<>(loader);
        }

        /** Loads the natives through the loader's own example class, then calls. */
        private static void use(ClassLoader loader, String baseUrl, String name)
                throws Exception {
            List<String> before = mapped();
            Class<?> helper = Class.forName(HELPER, true, loader);
            Path gameDir = Paths.get(System.getProperty("tarnwick.gameDir"));
            if (!(Boolean) helper.getMethod("loadNatives", Path.class).invoke(null, gameDir)) {
                System.out.println(name + " did not load the library");
                return;
            }
            Object status = ChildCalls.signIn(helper, baseUrl);
            Object[] mesh = new Object[1];
            helper.getMethod("loadRemoteMesh", String.class, String.class,
                    java.util.function.BiConsumer.class).invoke(null, baseUrl, "hat",
                    (java.util.function.BiConsumer<Object, Throwable>) (loaded, failure) ->
                            mesh[0] = failure != null ? failure : loaded);
            Object meshText = mesh[0] == null || mesh[0] instanceof Throwable ? mesh[0]
                    : mesh[0].getClass().getMethod("text").invoke(mesh[0]);
            List<String> now = mapped();
            now.removeAll(before);
            System.out.println(name + " signIn " + status + ", mesh " + meshText + ", mapped "
                    + String.join(" ", now));
        }

        /** The tarnwick libraries this process has mapped. */
        private static List<String> mapped() throws IOException {
            List<String> found = new ArrayList<>();
            for (String line : Files.readAllLines(Paths.get("/proc/self/maps"))) {
                int at = line.indexOf('/');
                if (at >= 0 && line.contains("/libtarnwick")
                        && !found.contains(line.substring(at))) {
                    found.add(line.substring(at));
                }
            }
            return found;
        }
    }

    /** The child JVM: a mod's start-up, then one call. */
    public static final class Child {
        private Child() {}

        public static void main(String[] args) throws Exception {
            if (!TarnwickServerConnectionHelper.loadNatives(
                        Paths.get(System.getProperty("tarnwick.gameDir")))) {
                System.out.println("carried on without tarnwick");
                return;
            }
            TarnwickServerConnectionHelper.HTTP_CLIENT =
                    HttpClient.newBuilder().version(HttpClient.Version.HTTP_1_1).build();
            CompletableFuture<HttpResponse<String>> done = new CompletableFuture<>();
            TarnwickServerConnectionHelper.signIn(args[0], "u", "c", (response, failure) -> {
                if (failure != null) {
                    done.completeExceptionally(failure);
                } else {
                    done.complete(response);
                }
            });
            HttpResponse<String> response = done.get(Timeouts.seconds(30), TimeUnit.SECONDS);
            System.out.println("signIn " + response.statusCode() + " " + response.body());
            // Which file the process really mapped.
            for (String line : Files.readAllLines(Paths.get("/proc/self/maps"))) {
                int at = line.indexOf('/');
                if (at >= 0 && line.endsWith("libtarnwick.so")) {
                    System.out.println("mapped " + line.substring(at));
                    break;
                }
            }
        }
    }
}

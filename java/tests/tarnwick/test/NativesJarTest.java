package tarnwick.test;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertSame;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.IOException;
import java.lang.reflect.InvocationTargetException;
import java.lang.reflect.Method;
import java.net.URL;
import java.net.URLClassLoader;
import java.net.http.HttpClient;
import java.net.http.HttpResponse;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.attribute.BasicFileAttributes;
import java.security.MessageDigest;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.TimeUnit;
import java.util.regex.Matcher;
import java.util.regex.Pattern;
import java.util.stream.Collectors;
import java.util.stream.Stream;
import java.util.zip.ZipFile;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;
import tarnwick.natives.NativeLibraryExtractor;
import vardel.tarnwick.api.client.online.TarnwickServerConnectionHelper;

/**
 * Loads the library the way a mod does: JVMs whose class path holds only the
 * natives jar, the stand-ins and the child's main class extract it with
 * NativeLibraryExtractor, System.load it from the stand-in class and make one
 * call against a loopback server.
 */
class NativesJarTest {
    private static final Pattern JNI_WARNING = Pattern.compile(
            "WARNING in native method|WARNING: JNI|FATAL ERROR in native method|JNI (WARNING|ERROR)");
    /** This JVM's platform, e.g. linux-x86_64 or linux-aarch64: the jar must carry it. */
    private static final String PLATFORM =
            NativeLibraryExtractor.platform(System.getProperty("os.name"), System.getProperty("os.arch"));
    private static final String LIBRARY_ENTRY = "natives/" + PLATFORM + "/libtarnwick.so";

    @TempDir Path temp;
    private RecordingServer server;

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
        List<String> command = new ArrayList<>();
        command.add(System.getProperty("tarnwick.java", "java"));
        command.add("-Xcheck:jni");
        command.add("-Dtarnwick.gameDir=" + gameDir);
        command.add("-Djava.io.tmpdir=" + tmpDir);
        command.add("-cp");
        command.add(nativesJar() + ":" + System.getProperty("tarnwick.modClasspath"));
        command.add(Child.class.getName());
        command.add(server.baseUrl());
        ProcessBuilder builder = new ProcessBuilder(command).redirectErrorStream(true);
        // A UTF-8 locale, as on players' desktops, so the JVM can name
        // non-ASCII paths.
        builder.environment().put("LC_ALL", "C.UTF-8");
        return builder.start();
    }

    private static Run finish(Process process) throws Exception {
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
        assertTrue(!JNI_WARNING.matcher(text).find(), () -> "JNI warning in child: " + text);
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
            assertEquals(List.of("libtarnwick.so"), files.map(p -> p.getFileName().toString())
                    .collect(Collectors.toList()), "temporary files left behind");
        }

        Object key = fileKey(one.library);
        long modified = Files.getLastModifiedTime(one.library).toMillis();
        Run third = runOnce(gameDir);
        assertEquals(one.library, third.library);
        assertEquals(key, fileKey(third.library), "the copy was written again");
        assertEquals(modified, Files.getLastModifiedTime(third.library).toMillis());
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

        // A game directory that cannot be created (a file is in its place).
        Path blocked = temp.resolve("blocked");
        Files.write(blocked, new byte[] {1});
        Run fallback = runOnce(blocked.resolve("game"));
        assertTrue(fallback.library.startsWith(temp.resolve("tmp")),
                () -> "not under java.io.tmpdir: " + fallback.library);
        assertEquals(sha256(good), sha256(Files.readAllBytes(fallback.library)));
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
            Method extract = jar.loadClass(NativeLibraryExtractor.class.getName())
                    .getMethod("extract", Path.class, String.class, String.class);
            InvocationTargetException wrapped = assertThrows(InvocationTargetException.class,
                    () -> extract.invoke(null, temp, "Mac OS X", "aarch64"));
            Throwable error = wrapped.getCause();
            assertSame(UnsupportedOperationException.class, error.getClass());
            assertTrue(error.getMessage().contains("os.name=\"Mac OS X\", os.arch=\"aarch64\""),
                    error.getMessage());
            String held = error.getMessage().substring(error.getMessage().indexOf("holds: "));
            assertTrue(held.contains(PLATFORM), error.getMessage());
            assertTrue(Files.notExists(temp.resolve("tarnwick-natives")), "extracted anyway");
        }
        // Known platform, but no natives on this class path at all.
        UnsupportedOperationException none = assertThrows(UnsupportedOperationException.class,
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
        for (String part : new String[] {bogus.toString(),
                sha256("not a library".getBytes(StandardCharsets.US_ASCII)), "antivirus",
                "architecture", "noexec", "non-ASCII", original.getMessage()}) {
            assertTrue(message.contains(part), () -> "missing \"" + part + "\" in: " + message);
        }
        assertTrue(!NativeLibraryExtractor.explainLoadFailure(original, temp.resolve("plain.so"))
                .getMessage().contains("non-ASCII"), "non-ASCII named for a plain path");
    }

    /** The child JVM: a mod's start-up, then one call. */
    public static final class Child {
        private Child() {}

        public static void main(String[] args) throws Exception {
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

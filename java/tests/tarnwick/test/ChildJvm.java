package tarnwick.test;

import java.io.File;
import java.io.IOException;
import java.lang.management.ManagementFactory;
import java.net.http.HttpResponse;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Map;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicInteger;
import java.util.function.BiConsumer;
import java.util.regex.Matcher;
import java.util.regex.Pattern;
import javax.management.ObjectName;
import vardel.tarnwick.api.client.model.Mesh;
import vardel.tarnwick.api.client.online.TarnwickServerConnectionHelper;

/**
 * Runs the library in a separate JVM (under -Xcheck:jni, like the tests):
 * to read what it writes to standard output, to load another build of it,
 * or to give it a heap of a chosen size. The child's output goes to files,
 * so neither stream can fill up and stall it while the other is read.
 */
public final class ChildJvm {
    /** What the child printed. */
    public static final class Result {
        public final String stdout;
        public final String stderr;

        Result(String stdout, String stderr) {
            this.stdout = stdout;
            this.stderr = stderr;
        }
    }

    /**
     * What -Xcheck:jni prints when native code misuses JNI. A JNI call inside
     * a critical section is reported on standard output, the rest on either.
     */
    static final Pattern JNI_WARNING = Pattern.compile(
            "WARNING in native method|WARNING: JNI|FATAL ERROR in native method|JNI (WARNING|ERROR)"
                    + "|Calling other JNI functions in the scope of");

    private ChildJvm() {}

    /**
     * Runs main(args) in a child JVM with the given extra JVM options and
     * environment, loading the library at libraryPath. Fails unless the child
     * exits with status 0 within timeoutSeconds and without a JNI warning on
     * either stream.
     */
    public static Result run(List<String> jvmOptions, Map<String, String> environment,
            String libraryPath, int timeoutSeconds, String... args)
            throws IOException, InterruptedException {
        List<String> command = new ArrayList<>();
        command.add(System.getProperty("tarnwick.java", "java"));
        command.add("-Xcheck:jni");
        command.addAll(jvmOptions);
        command.add("-Dtarnwick.library=" + libraryPath);
        command.add("-cp");
        command.add(System.getProperty("tarnwick.classpath"));
        command.add(ChildJvm.class.getName());
        command.addAll(List.of(args));
        File out = File.createTempFile("tarnwick-child", ".out");
        File err = File.createTempFile("tarnwick-child", ".err");
        try {
            ProcessBuilder builder = new ProcessBuilder(command).redirectOutput(out).redirectError(err);
            builder.environment().putAll(environment);
            Process process = builder.start();
            if (!process.waitFor(Timeouts.seconds(timeoutSeconds), TimeUnit.SECONDS)) {
                process.destroyForcibly().waitFor();
                throw new AssertionError("child JVM did not finish within " + Timeouts.seconds(timeoutSeconds) + " s: "
                        + Files.readString(out.toPath()) + Files.readString(err.toPath()));
            }
            String stdout = Files.readString(out.toPath(), StandardCharsets.UTF_8);
            String stderr = Files.readString(err.toPath(), StandardCharsets.UTF_8);
            // HotSpot prints some JNI warnings (local references) on standard output.
            if (process.exitValue() != 0 || JNI_WARNING.matcher(stdout + stderr).find()) {
                throw new AssertionError("child JVM failed (" + process.exitValue() + "): " + stdout + stderr);
            }
            return new Result(stdout, stderr);
        } finally {
            out.delete();
            err.delete();
        }
    }

    /** Loads the named models in one child JVM of the library under test. */
    public static Result load(String baseUrl, String... names) throws IOException, InterruptedException {
        List<String> args = new ArrayList<>(List.of("load", baseUrl));
        args.addAll(List.of(names));
        return run(List.of(), Map.of(), System.getProperty("tarnwick.library"), 60,
                args.toArray(new String[0]));
    }

    /** Child entry point; the first argument names what to do. */
    public static void main(String[] args) throws Exception {
        switch (args[0]) {
            case "load":
                for (int i = 2; i < args.length; i++) {
                    loadAndPrint(args[1], args[i]);
                }
                break;
            case "calls":
                callAndPrint(args[1]);
                break;
            case "failedRead":
                failedRead();
                break;
            case "argumentCopies":
                argumentCopies();
                break;
            default:
                throw new IllegalArgumentException(args[0]);
        }
        System.out.flush();
    }

    /** Prints "loaded " and the model's text, or "failed " and the throwable. */
    private static void loadAndPrint(String baseUrl, String name) {
        Mesh[] mesh = new Mesh[1];
        Throwable[] failure = new Throwable[1];
        TarnwickServerConnectionHelper.loadRemoteMesh(baseUrl, name, (m, t) -> {
            mesh[0] = m;
            failure[0] = t;
        });
        System.out.println(failure[0] != null ? "failed " + failure[0] : "loaded " + mesh[0].text());
    }

    /** Makes three calls and prints, for each, what it threw and how often the completion ran. */
    private static void callAndPrint(String baseUrl) {
        AtomicInteger completions = new AtomicInteger();
        BiConsumer<HttpResponse<String>, Throwable> counting = (r, t) -> completions.incrementAndGet();
        Runnable[] calls = {
            () -> TarnwickServerConnectionHelper.signIn(baseUrl, "u", "c", counting),
            () -> TarnwickServerConnectionHelper.saveConfiguration(baseUrl, "{}", counting),
            () -> TarnwickServerConnectionHelper.loadRemoteMesh(baseUrl, "m",
                    (m, t) -> completions.incrementAndGet()),
        };
        for (Runnable call : calls) {
            String thrown = "nothing";
            try {
                call.run();
            } catch (Throwable t) {
                thrown = t.toString();
            }
            System.out.println("threw " + thrown + ", completions " + completions.getAndSet(0));
        }
    }

    /**
     * Serves a body that declares 3 GiB and sends zeros, loads it, and prints
     * the completion's failure and how long after it the server saw the
     * connection closed (its blocked write fails), waiting at most 10 s.
     */
    private static void failedRead() throws Exception {
        long declared = 3L << 30;
        CountDownLatch closed = new CountDownLatch(1);
        long[] closedAt = new long[1];
        try (RawServer server = new RawServer(socket -> {
            RawServer.readHead(socket.getInputStream());
            RawServer.sendHead(socket, declared, new byte[0]);
            byte[] zeros = new byte[1 << 16];
            try {
                for (long sent = 0; sent < declared; sent += zeros.length) {
                    socket.getOutputStream().write(zeros);
                }
            } catch (IOException e) {
                closedAt[0] = System.nanoTime();
                closed.countDown();
            }
        })) {
            Throwable[] failure = new Throwable[1];
            long[] completedAt = new long[1];
            TarnwickServerConnectionHelper.loadRemoteMesh(server.baseUrl(), "huge", (m, t) -> {
                failure[0] = t;
                completedAt[0] = System.nanoTime();
            });
            System.out.println("completion failure: " + failure[0]);
            if (closed.await(Timeouts.seconds(10), TimeUnit.SECONDS)) {
                long millis = TimeUnit.NANOSECONDS.toMillis(closedAt[0] - completedAt[0]);
                System.out.println("connection closed " + millis + " ms after the completion");
            } else {
                System.out.println("connection still open 10 s after the completion");
            }
        }
    }

    /**
     * Makes 64 calls with a 1 MiB argument, then 16 rounds of the calls that
     * stop at a null argument, and prints how much the JVM's native
     * "Internal" memory, which holds the UTF-8 copies of strings that native
     * code asks for, grew meanwhile. Needs Native Memory Tracking.
     */
    private static void argumentCopies() throws Exception {
        String big = "x".repeat(1 << 20);
        Runnable call = () -> TarnwickServerConnectionHelper.signIn("http://bad host", big, "c", (r, t) -> { });
        List<Runnable> stopped = callsStoppedByANullArgument(big);
        call.run();
        stopped.forEach(Runnable::run);
        long before = internalKilobytes();
        for (int i = 0; i < 64; i++) {
            call.run();
        }
        for (int i = 0; i < 16; i++) {
            stopped.forEach(Runnable::run);
        }
        System.out.println("internal growth " + (internalKilobytes() - before) + " KB");
    }

    /** An entry point called with these strings, and the completion or null. */
    private interface EntryPoint {
        void call(String[] strings, boolean completion);
    }

    /**
     * Every entry point once for each of its arguments, that one null and
     * every string before it 1 MiB long: the copies made before the null
     * one must be released on the way out. Each must throw
     * NullPointerException.
     */
    private static List<Runnable> callsStoppedByANullArgument(String big) {
        BiConsumer<HttpResponse<String>, Throwable> none = (r, t) -> { };
        BiConsumer<Mesh, Throwable> noMesh = (m, t) -> { };
        EntryPoint[] entryPoints = {
            (s, c) -> TarnwickServerConnectionHelper.autoLogin(s[0], s[1], s[2], s[3], s[4], c ? none : null),
            (s, c) -> TarnwickServerConnectionHelper.signIn(s[0], s[1], s[2], c ? none : null),
            (s, c) -> TarnwickServerConnectionHelper.signOut(s[0], s[1], s[2], s[3], s[4], c ? none : null),
            (s, c) -> TarnwickServerConnectionHelper.getAvailableCosmetics(s[0], s[1], s[2], s[3], s[4],
                    c ? none : null),
            (s, c) -> TarnwickServerConnectionHelper.saveConfiguration(s[0], s[1], c ? none : null),
            (s, c) -> TarnwickServerConnectionHelper.getPlayerSkinInfo(s[0], s[1], c ? none : null),
            (s, c) -> TarnwickServerConnectionHelper.loadRemoteMesh(s[0], s[1], c ? noMesh : null),
        };
        int[] stringCounts = {5, 3, 5, 5, 2, 2, 2};
        List<Runnable> calls = new ArrayList<>();
        for (int e = 0; e < entryPoints.length; e++) {
            EntryPoint entryPoint = entryPoints[e];
            for (int nullAt = 0; nullAt <= stringCounts[e]; nullAt++) {
                String[] strings = new String[stringCounts[e]];
                Arrays.fill(strings, big);
                boolean completion = nullAt < strings.length;  // else the completion is the null one
                if (completion) {
                    strings[nullAt] = null;
                }
                String what = "entry point " + e + ", argument " + nullAt + " null";
                calls.add(() -> {
                    try {
                        entryPoint.call(strings, completion);
                    } catch (NullPointerException expected) {
                        return;
                    }
                    throw new AssertionError(what + ": no NullPointerException");
                });
            }
        }
        return calls;
    }

    private static long internalKilobytes() throws Exception {
        String summary = (String) ManagementFactory.getPlatformMBeanServer().invoke(
                new ObjectName("com.sun.management:type=DiagnosticCommand"), "vmNativeMemory",
                new Object[] {new String[] {"summary"}}, new String[] {String[].class.getName()});
        Matcher internal = Pattern.compile("Internal \\(reserved=\\d+KB, committed=(\\d+)KB").matcher(summary);
        if (!internal.find()) {
            throw new IllegalStateException("no Internal category in: " + summary);
        }
        return Long.parseLong(internal.group(1));
    }
}

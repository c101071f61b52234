package tarnwick.bench;

import java.io.IOException;
import java.net.http.HttpClient;
import java.net.http.HttpResponse;
import java.nio.charset.StandardCharsets;
import java.util.Arrays;
import java.util.Random;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicReference;
import java.util.function.BiConsumer;
import tarnwick.test.Models;
import tarnwick.test.RecordingServer;
import vardel.tarnwick.api.client.model.Mesh;
import vardel.tarnwick.api.client.online.TarnwickServerConnectionHelper;

/**
 * The library against plain Java, in one JVM, on a loopback server:
 * loadRemoteMesh of a large model and signIn round trips. Runs alternate
 * between the two sides and medians are reported.
 *
 * Usage: Bench [mesh|signin|memory|memory-java|floor] (system properties
 * tarnwick.library and tarnwick.modelKey as for the tests; bench.modelBytes
 * sets the model size, bench.rounds the number of timed rounds).
 */
public final class Bench {
    private static final int MODEL_BYTES = Integer.getInteger("bench.modelBytes", 8 << 20);
    private static final byte[] LOGIN_ANSWER =
            "{\"access_token\":\"a\",\"refresh_token\":\"r\"}".getBytes(StandardCharsets.UTF_8);

    public static void main(String[] args) throws Exception {
        // Without TCP_NODELAY every small answer waits out the peer's delayed ACK.
        System.setProperty("sun.net.httpserver.nodelay", "true");
        String what = args.length > 0 ? args[0] : "all";
        if (what.equals("floor")) {
            try {
                floorBench();
            } finally {
                System.exit(0);
            }
        }
        byte[] key = Models.key();
        byte[] text = randomText(MODEL_BYTES);
        byte[] sealed = Models.seal(key, text);

        RecordingServer server = startService(sealed, 2);
        String base = server.baseUrl();
        HttpClient client = HttpClient.newBuilder().version(HttpClient.Version.HTTP_1_1).build();
        TarnwickServerConnectionHelper.HTTP_CLIENT = client;

        try {
            if (what.equals("memory")) {
                // One load, for the native peak measured around it.
                check(text, loadNative(base));
                return;
            }
            if (what.equals("memory-java")) {
                // The same load in plain Java: what the JVM itself holds natively.
                timeJava(client, key, base, text);
                return;
            }
            if (what.equals("floor")) {
                return;  // run by floorBench, below, with a model of each size
            }
            if (what.equals("all") || what.equals("mesh")) {
                meshBench(client, key, base, text);
            }
            if (what.equals("all") || what.equals("signin")) {
                signInBench(client, base);
            }
        } finally {
            server.close();
            System.exit(0);
        }
    }

    private static void meshBench(HttpClient client, byte[] key, String base, byte[] text) throws Exception {
        int warmup = 5;
        int rounds = Integer.getInteger("bench.rounds", 21);
        long[] nativeTimes = new long[rounds];
        long[] javaTimes = new long[rounds];
        long[] downloadTimes = new long[rounds];
        for (int i = -warmup; i < rounds; i++) {
            // Alternate which side goes first so neither always runs warm.
            boolean nativeFirst = (i & 1) == 0;
            long a = nativeFirst ? timeNative(base, text) : timeJava(client, key, base, text);
            long b = nativeFirst ? timeJava(client, key, base, text) : timeNative(base, text);
            long d = timeDownload(client, base);
            if (i >= 0) {
                nativeTimes[i] = nativeFirst ? a : b;
                javaTimes[i] = nativeFirst ? b : a;
                downloadTimes[i] = d;
            }
        }
        double n = median(nativeTimes) / 1e6;
        double j = median(javaTimes) / 1e6;
        double d = median(downloadTimes) / 1e6;
        System.out.printf("loadRemoteMesh %d MiB model: library %.1f ms, plain Java %.1f ms (medians of %d), ratio %.2f%n",
                MODEL_BYTES >> 20, n, j, rounds, n / j);
        System.out.printf("  of which the download alone (send + readAllBytes): %.1f ms; after it: library %.1f ms, plain Java %.1f ms%n",
                d, n - d, j - d);
    }

    /**
     * loadRemoteMesh against plain Java and against the floor, at 64 KiB,
     * 1 MiB, 8 MiB and 64 MiB. The floor is what no implementation can beat:
     * the same download read whole, then the loader on the plaintext, known
     * beforehand. The three sides take turns, in an order that rotates from
     * round to round, in one JVM. Each load's time and its minor page faults
     * (the process's count in /proc/self/stat, before and after) are
     * recorded; medians are printed. bench.sizesKiB picks other sizes.
     */
    private static void floorBench() throws Exception {
        int rounds = Integer.getInteger("bench.rounds", 15);
        int warmup = 3;
        HttpClient client = HttpClient.newBuilder().version(HttpClient.Version.HTTP_1_1).build();
        TarnwickServerConnectionHelper.HTTP_CLIENT = client;
        byte[] key = Models.key();
        System.out.printf("%-8s %12s %12s %12s %9s %9s %13s %13s%n", "model", "library ms", "Java ms",
                "floor ms", "lib/floor", "lib/Java", "faults lib", "faults Java");
        String sizes = System.getProperty("bench.sizesKiB", "64,1024,8192,65536");
        for (String kib : sizes.split(",")) {
            int bytes = Integer.parseInt(kib.trim()) << 10;
            byte[] text = randomText(bytes);
            RecordingServer server = startService(Models.seal(key, text), 2);
            String base = server.baseUrl();
            long[][] times = new long[3][rounds];
            long[][] faults = new long[3][rounds];
            try {
                for (int i = -warmup; i < rounds; i++) {
                    for (int k = 0; k < 3; k++) {
                        int side = Math.floorMod(i + k, 3);
                        long faultsBefore = minorFaults();
                        long start = System.nanoTime();
                        Mesh mesh;
                        if (side == 0) {
                            mesh = loadNative(base);
                        } else if (side == 1) {
                            AtomicReference<Mesh> result = new AtomicReference<>();
                            JavaPeers.loadRemoteMesh(client, key, base, "model", (m, t) -> result.set(m));
                            mesh = result.get();
                        } else {
                            mesh = floorLoad(client, base, text);
                        }
                        long elapsed = System.nanoTime() - start;
                        long faulted = minorFaults() - faultsBefore;
                        if (side != 2) {
                            check(text, mesh);
                        }
                        if (i >= 0) {
                            times[side][i] = elapsed;
                            faults[side][i] = faulted;
                        }
                    }
                }
            } finally {
                server.close();
            }
            double library = median(times[0]) / 1e6;
            double java = median(times[1]) / 1e6;
            double floor = median(times[2]) / 1e6;
            String size = bytes >= 1 << 20 ? (bytes >> 20) + " MiB" : (bytes >> 10) + " KiB";
            System.out.printf("%-8s %12.2f %12.2f %12.2f %9.2f %9.2f %13.0f %13.0f%n", size, library, java,
                    floor, library / floor, library / java, median(faults[0]), median(faults[1]));
        }
        System.out.printf("(medians of %d rounds; faults per load are the process's minor faults)%n", rounds);
    }

    /** The floor: the download read whole, then the loader on the plaintext known beforehand. */
    private static Mesh floorLoad(HttpClient client, String base, byte[] text) throws Exception {
        java.net.http.HttpRequest request = java.net.http.HttpRequest.newBuilder().GET()
                .uri(java.net.URI.create(base + "/models/model.enc")).build();
        byte[] body = client.send(request, HttpResponse.BodyHandlers.ofInputStream()).body().readAllBytes();
        if (body.length < text.length) {
            throw new IllegalStateException("short download");
        }
        return new vardel.tarnwick.api.asset.JsonAssetLoader(new java.io.ByteArrayInputStream(text), null)
                .loadMesh(true);
    }

    /** The process's minor page faults so far: field 10 of /proc/self/stat. */
    private static long minorFaults() throws IOException {
        String stat = new String(java.nio.file.Files.readAllBytes(java.nio.file.Paths.get("/proc/self/stat")),
                StandardCharsets.US_ASCII);
        // Fields after the command name, which is in parentheses and may hold spaces.
        String[] fields = stat.substring(stat.lastIndexOf(')') + 2).split(" ");
        return Long.parseLong(fields[7]);
    }

    private static long timeNative(String base, byte[] text) {
        long start = System.nanoTime();
        Mesh mesh = loadNative(base);
        long elapsed = System.nanoTime() - start;
        check(text, mesh);
        return elapsed;
    }

    private static long timeJava(HttpClient client, byte[] key, String base, byte[] text) throws Exception {
        AtomicReference<Mesh> result = new AtomicReference<>();
        long start = System.nanoTime();
        JavaPeers.loadRemoteMesh(client, key, base, "model", (mesh, failure) -> result.set(mesh));
        long elapsed = System.nanoTime() - start;
        check(text, result.get());
        return elapsed;
    }

    /** The part both sides share: the request and reading the whole body. */
    private static long timeDownload(HttpClient client, String base) throws Exception {
        long start = System.nanoTime();
        java.net.http.HttpRequest request = java.net.http.HttpRequest.newBuilder().GET()
                .uri(java.net.URI.create(base + "/models/model.enc")).build();
        byte[] body = client.send(request, HttpResponse.BodyHandlers.ofInputStream()).body().readAllBytes();
        long elapsed = System.nanoTime() - start;
        if (body.length == 0) {
            throw new IllegalStateException("empty download");
        }
        return elapsed;
    }

    private static Mesh loadNative(String base) {
        AtomicReference<Mesh> result = new AtomicReference<>();
        AtomicReference<Throwable> failure = new AtomicReference<>();
        TarnwickServerConnectionHelper.loadRemoteMesh(base, "model", (mesh, t) -> {
            result.set(mesh);
            failure.set(t);
        });
        if (failure.get() != null) {
            throw new IllegalStateException(failure.get());
        }
        return result.get();
    }

    private static void check(byte[] expected, Mesh mesh) {
        if (mesh == null || !Arrays.equals(expected, mesh.source())) {
            throw new IllegalStateException("the model did not load intact");
        }
    }

    private static void signInBench(HttpClient client, String base) throws Exception {
        int batch = 200;
        int rounds = Integer.getInteger("bench.rounds", 21);
        long[] nativeTimes = new long[rounds];
        long[] javaTimes = new long[rounds];
        for (int i = -3; i < rounds; i++) {
            boolean nativeFirst = (i & 1) == 0;
            long a = signInBatch(client, base, batch, nativeFirst);
            long b = signInBatch(client, base, batch, !nativeFirst);
            if (i >= 0) {
                nativeTimes[i] = nativeFirst ? a : b;
                javaTimes[i] = nativeFirst ? b : a;
            }
        }
        double n = median(nativeTimes) / 1e3 / batch;
        double j = median(javaTimes) / 1e3 / batch;
        System.out.printf("signIn round trip: library %.1f us, plain Java %.1f us (medians of %d batches of %d), ratio %.3f%n",
                n, j, rounds, batch, n / j);
    }

    /** Time for `count` sequential round trips, each waiting for its completion. */
    private static long signInBatch(HttpClient client, String base, int count, boolean useNative)
            throws Exception {
        long start = System.nanoTime();
        for (int k = 0; k < count; k++) {
            CountDownLatch done = new CountDownLatch(1);
            BiConsumer<HttpResponse<String>, Throwable> completion = (response, failure) -> {
                if (failure != null || response.statusCode() != 200) {
                    throw new IllegalStateException("sign-in failed: " + failure);
                }
                done.countDown();
            };
            if (useNative) {
                TarnwickServerConnectionHelper.signIn(base, "uuid", "code", completion);
            } else {
                JavaPeers.signIn(client, base, "uuid", "code", completion);
            }
            if (!done.await(10, TimeUnit.SECONDS)) {
                throw new IllegalStateException("sign-in timed out");
            }
        }
        return System.nanoTime() - start;
    }

    private static double median(long[] values) {
        long[] sorted = values.clone();
        Arrays.sort(sorted);
        int n = sorted.length;
        return n % 2 == 1 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2.0;
    }

    /** Printable ASCII text without zero bytes, like a JSON model. */
    static byte[] randomText(int length) {
        byte[] text = new byte[length];
        Random random = new Random(1);
        for (int i = 0; i < length; i++) {
            text[i] = (byte) (32 + random.nextInt(95));
        }
        return text;
    }

    /**
     * The loopback stand-in of the service on `threads` threads: every model
     * name gets `sealed`, anything else (the benchmarks call /login_code) a
     * short JSON answer. Requests are not recorded.
     */
    static RecordingServer startService(byte[] sealed, int threads) throws IOException {
        RecordingServer server = new RecordingServer(threads, false);
        server.respondWith((exchange, request) -> RecordingServer.reply(exchange, 200,
                request.rawPath.startsWith("/models/") ? sealed : LOGIN_ANSWER));
        return server;
    }
}

package tarnwick.bench;

import java.lang.ref.PhantomReference;
import java.lang.ref.Reference;
import java.lang.ref.ReferenceQueue;
import java.net.http.HttpClient;
import java.net.http.HttpResponse;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.Arrays;
import java.util.Collections;
import java.util.IdentityHashMap;
import java.util.Set;
import java.util.concurrent.Executors;
import java.util.concurrent.Semaphore;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicLong;
import java.util.function.BiConsumer;
import tarnwick.test.Models;
import tarnwick.test.RecordingServer;
import vardel.tarnwick.api.client.model.Mesh;
import vardel.tarnwick.api.client.online.TarnwickServerConnectionHelper;

/**
 * Many calls in one JVM, to see whether anything grows with their number:
 * 100,000 signIn calls (at most 64 in flight) and 3,000 loadRemoteMesh of a
 * 1 MiB model, in ten equal rounds. After the first, the fifth and the last
 * round it collects garbage and samples the process's resident memory, the
 * bytes in use in the native heap, the number of threads and the number of
 * completions not yet collected; then it prints the three samples and, for
 * each quantity, whether it grew.
 *
 * Usage: Soak (system properties tarnwick.library and tarnwick.modelKey as
 * for the tests; soak.probe names the native-heap probe library).
 */
public final class Soak {
    private static final int ROUNDS = 10;
    private static final int CALLS_PER_ROUND = 10_000;
    private static final int LOADS_PER_ROUND = 300;
    private static final int IN_FLIGHT = 64;

    static native long nativeHeapInUse();

    /** Completions not yet collected: a leaked global reference would keep one. */
    private static final ReferenceQueue<Object> collected = new ReferenceQueue<>();
    private static final Set<Reference<?>> watched = Collections.synchronizedSet(
            Collections.newSetFromMap(new IdentityHashMap<>()));

    private static <T> T watch(T completion) {
        watched.add(new PhantomReference<>(completion, collected));
        return completion;
    }

    public static void main(String[] args) throws Exception {
        System.load(System.getProperty("soak.probe"));
        System.setProperty("sun.net.httpserver.nodelay", "true");
        byte[] text = Bench.randomText(1 << 20);
        byte[] sealed = Models.seal(Models.key(), text);

        RecordingServer server = Bench.startService(sealed, 4);
        String base = server.baseUrl();
        // Fixed pools on both sides, so that the thread count can only grow
        // if something else starts threads (the library starts none).
        TarnwickServerConnectionHelper.HTTP_CLIENT =
                HttpClient.newBuilder().executor(Executors.newFixedThreadPool(4)).build();

        Semaphore inFlight = new Semaphore(IN_FLIGHT);
        AtomicLong failures = new AtomicLong();
        long[][] samples = new long[3][];
        int sample = 0;
        long started = System.nanoTime();
        for (int round = 1; round <= ROUNDS; round++) {
            for (int i = 0; i < CALLS_PER_ROUND; i++) {
                inFlight.acquire();
                BiConsumer<HttpResponse<String>, Throwable> completion = (response, failure) -> {
                    if (failure != null || response.statusCode() != 200) {
                        failures.incrementAndGet();
                    }
                    inFlight.release();
                };
                TarnwickServerConnectionHelper.signIn(base, "u" + i, "c", watch(completion));
            }
            for (int i = 0; i < LOADS_PER_ROUND; i++) {
                Mesh[] mesh = new Mesh[1];
                BiConsumer<Mesh, Throwable> completion = (m, failure) -> {
                    mesh[0] = m;
                    if (failure != null) {
                        failures.incrementAndGet();
                    }
                };
                TarnwickServerConnectionHelper.loadRemoteMesh(base, "m", watch(completion));
                if (mesh[0] == null || mesh[0].source().length != text.length) {
                    failures.incrementAndGet();
                }
            }
            inFlight.acquire(IN_FLIGHT);  // every call of the round has completed
            inFlight.release(IN_FLIGHT);
            if (round == 1 || round == ROUNDS / 2 || round == ROUNDS) {
                samples[sample++] = sample(round * (long) CALLS_PER_ROUND, round * (long) LOADS_PER_ROUND);
            }
        }
        server.close();
        long seconds = TimeUnit.NANOSECONDS.toSeconds(System.nanoTime() - started);

        System.out.printf("%d signIn calls and %d loads of a 1 MiB model in %d s, %d failed%n",
                ROUNDS * CALLS_PER_ROUND, ROUNDS * LOADS_PER_ROUND, seconds, failures.get());
        System.out.printf("%-8s %9s %9s %12s %8s %17s%n",
                "sample", "calls", "loads", "RSS MiB", "threads", "live completions");
        String[] names = {"start", "middle", "end"};
        for (int i = 0; i < 3; i++) {
            long[] s = samples[i];
            System.out.printf("%-8s %9d %9d %12.1f %8d %17d   native heap %.1f MiB%n",
                    names[i], s[0], s[1], s[2] / 1048576.0, s[4], s[5], s[3] / 1048576.0);
        }
        // Something that leaks per call grows in both halves of the run; a
        // quantity that settles after the start does not.
        String[] quantities = {"RSS", "native heap", "threads", "live completions"};
        long[] tolerance = {16L << 20, 2L << 20, 0, 0};
        boolean anyGrowth = false;
        for (int q = 0; q < quantities.length; q++) {
            long firstHalf = samples[1][q + 2] - samples[0][q + 2];
            long secondHalf = samples[2][q + 2] - samples[1][q + 2];
            boolean grows = firstHalf > tolerance[q] && secondHalf > tolerance[q];
            anyGrowth |= grows;
            double unit = q < 2 ? 1048576.0 : 1.0;
            String format = q < 2 ? "%+.1f MiB" : "%+.0f";
            System.out.printf("%-17s start->middle " + format + ", middle->end " + format + ": %s%n",
                    quantities[q], firstHalf / unit, secondHalf / unit, grows ? "GROWS" : "does not grow");
        }
        System.out.println(anyGrowth ? "Something grows with the number of calls."
                : "Nothing grows with the number of calls.");
        System.exit(anyGrowth || failures.get() > 0 ? 1 : 0);
    }

    /** calls, loads, RSS bytes, native heap bytes, threads, live completions. */
    private static long[] sample(long calls, long loads) throws Exception {
        for (int i = 0; i < 3; i++) {
            System.gc();
            Thread.sleep(200);
            Reference<?> gone;
            while ((gone = collected.poll()) != null) {
                watched.remove(gone);
            }
        }
        long rss = 0;
        long threads = 0;
        for (String line : Files.readAllLines(Path.of("/proc/self/status"))) {
            String[] field = line.split("\\s+");
            if (field[0].equals("VmRSS:")) {
                rss = Long.parseLong(field[1]) * 1024;
            } else if (field[0].equals("Threads:")) {
                threads = Long.parseLong(field[1]);
            }
        }
        return new long[] {calls, loads, rss, nativeHeapInUse(), threads, watched.size()};
    }

    private Soak() {}
}

package tarnwick.bench;

/** What the start-up probes share: what the game did before, and the clocks. */
final class Game {
    private Game() {}

    /**
     * With {@code -Dbench.gameLogged=true}: one line through the platform's
     * logging ({@code System.Logger}), before the clock starts, as a game has
     * logged long before it loads its mods. Without it the probe's JVM has
     * logged nothing and the call sets the logging up.
     */
    static void logOnceWhenAsked() {
        if (Boolean.getBoolean("bench.gameLogged")) {
            System.getLogger("game").log(System.Logger.Level.INFO, "the game has started");
        }
    }

    /**
     * The time the calling thread has spent on a CPU, in nanoseconds, from
     * {@code /proc/thread-self/schedstat} (Linux): unlike the wall clock, it
     * leaves out the time the thread waited for a CPU on a busy machine.
     * -1 where the file is missing.
     */
    static long threadCpuNanos() {
        byte[] text;
        String schedstat = "/proc/thread-self/schedstat";
        try (java.io.FileInputStream in = new java.io.FileInputStream(schedstat)) {
            text = in.readAllBytes();
        } catch (java.io.IOException e) {
            return -1;
        }
        long nanos = 0;
        for (byte b : text) {
            if (b < '0' || b > '9') {
                break;
            }
            nanos = nanos * 10 + (b - '0');
        }
        return nanos;
    }

    /** "NAME WALL_MS CPU_MS", the line bench/run_startup.sh reads. */
    static String times(String name, long wallNanos, long cpuNanos) {
        return name + " " + wallNanos / 1e6 + " " + cpuNanos / 1e6;
    }
}

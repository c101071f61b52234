package tarnwick.test;

/**
 * The time limits the tests set themselves, stretched when the JVM runs under
 * emulation (an aarch64 JVM in qemu runs the suite several times slower):
 * TARNWICK_TIME_SCALE in the environment, which child JVMs inherit, is the
 * factor; 1 when it is not set. Only limits on something that must happen are
 * scaled; a wait that checks that something has not happened yet keeps its
 * length.
 */
public final class Timeouts {
    private static final double SCALE = scale(System.getenv("TARNWICK_TIME_SCALE"));

    private Timeouts() {}

    static double scale(String value) {
        if (value == null || value.isEmpty()) {
            return 1;
        }
        double factor = Double.parseDouble(value);
        if (!(factor >= 1)) {
            throw new IllegalArgumentException("TARNWICK_TIME_SCALE must be 1 or more: " + value);
        }
        return factor;
    }

    /** A limit of {@code seconds} on real hardware, as this run's seconds. */
    public static long seconds(long seconds) {
        return (long) Math.ceil(seconds * SCALE);
    }

    /** A limit of {@code millis} on real hardware, as this run's milliseconds. */
    public static long millis(long millis) {
        return (long) Math.ceil(millis * SCALE);
    }
}

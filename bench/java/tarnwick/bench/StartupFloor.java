package tarnwick.bench;

import java.io.InputStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.Arrays;

/**
 * The floor of a start, for bench/run_startup.sh: the least any loader that
 * checks its copy must do, in a JVM that has done nothing else. It reads the
 * library's entry from the natives jar on the class path, reads the copy
 * already on disk, compares the two and loads the copy.
 *
 * <p>Usage: StartupFloor RESOURCE COPY; prints "startup-probe: begin" and
 * "startup-probe: end" around the steps, then "floor MS CPU_MS"; exits 1 when the
 * entry is missing or differs from the copy.
 */
public final class StartupFloor {
    private StartupFloor() {}

    public static void main(String[] args) throws Exception {
        String resource = args[0];
        Path copy = Path.of(args[1]);
        Game.logOnceWhenAsked();
        System.out.println("startup-probe: begin");
        long cpuStart = Game.threadCpuNanos();
        long start = System.nanoTime();
        byte[] entry;
        try (InputStream in = StartupFloor.class.getClassLoader().getResourceAsStream(resource)) {
            entry = in == null ? null : in.readAllBytes();
        }
        byte[] onDisk = Files.readAllBytes(copy);
        boolean same = entry != null && Arrays.equals(entry, onDisk);
        if (same) {
            System.load(copy.toString());
        }
        long end = System.nanoTime();
        long cpuEnd = Game.threadCpuNanos();
        System.out.println("startup-probe: end");
        if (!same) {
            System.out.println(resource + (entry == null ? " is not on the class path"
                    : " differs from " + copy));
            System.exit(1);
        }
        System.out.println(Game.times("floor", end - start, cpuEnd - cpuStart));
    }
}

package tarnwick.test;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.TimeUnit;
import java.util.regex.Pattern;
import vardel.tarnwick.api.client.model.Mesh;
import vardel.tarnwick.api.client.online.TarnwickServerConnectionHelper;

/**
 * Runs one loadRemoteMesh in a separate JVM (under -Xcheck:jni, like the
 * tests) so that what the library writes to standard output can be read.
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

    /** What -Xcheck:jni prints when native code misuses JNI. */
    private static final Pattern JNI_WARNING = Pattern.compile(
            "WARNING in native method|WARNING: JNI|FATAL ERROR in native method|JNI (WARNING|ERROR)");

    private ChildJvm() {}

    public static Result loadOnce(String baseUrl, String name) throws IOException, InterruptedException {
        List<String> command = new ArrayList<>();
        command.add(System.getProperty("tarnwick.java", "java"));
        command.add("-Xcheck:jni");
        command.add("-Dtarnwick.library=" + System.getProperty("tarnwick.library"));
        command.add("-cp");
        command.add(System.getProperty("tarnwick.classpath"));
        command.add(ChildJvm.class.getName());
        command.add(baseUrl);
        command.add(name);
        Process process = new ProcessBuilder(command).start();
        byte[] out = process.getInputStream().readAllBytes();
        byte[] err = process.getErrorStream().readAllBytes();
        if (!process.waitFor(60, TimeUnit.SECONDS)) {
            process.destroyForcibly();
            throw new AssertionError("child JVM did not finish");
        }
        String stderr = new String(err, StandardCharsets.UTF_8);
        if (process.exitValue() != 0 || JNI_WARNING.matcher(stderr).find()) {
            throw new AssertionError("child JVM failed (" + process.exitValue() + "): " + stderr);
        }
        return new Result(new String(out, StandardCharsets.UTF_8), stderr);
    }

    /** Child entry point: loads one model and prints "loaded " and its text. */
    public static void main(String[] args) {
        Mesh[] mesh = new Mesh[1];
        Throwable[] failure = new Throwable[1];
        TarnwickServerConnectionHelper.loadRemoteMesh(args[0], args[1], (m, t) -> {
            mesh[0] = m;
            failure[0] = t;
        });
        if (failure[0] != null) {
            System.out.println("failed " + failure[0]);
            System.exit(2);
        }
        System.out.println("loaded " + mesh[0].text());
        System.out.flush();
    }
}

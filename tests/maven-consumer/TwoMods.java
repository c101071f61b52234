import java.lang.reflect.Method;
import java.net.URL;
import java.net.URLClassLoader;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.TimeUnit;
import java.util.function.BiConsumer;

/**
 * Two mods in one JVM, each in a class loader of its own as a mod loader puts
 * them, each with its own copy of the extractor (shaded or not): both load
 * the library and reach it through a native call. Prints which file each
 * mapped and which package its extractor is in; exits with 1 when either
 * fails. Usage: TwoMods GAME_DIRECTORY CLASSPATH_OF_MOD_1 CLASSPATH_OF_MOD_2
 */
public final class TwoMods {
    private static final String HELPER =
            "vardel.tarnwick.api.client.online.TarnwickServerConnectionHelper";

    public static void main(String[] args) throws Exception {
        Path gameDir = Path.of(args[0]);
        List<ClassLoader> mods = new ArrayList<>();
        for (int i = 1; i < args.length; i++) {
            List<URL> urls = new ArrayList<>();
            for (String entry : args[i].split(":")) {
                urls.add(Path.of(entry).toUri().toURL());
            }
            mods.add(new URLClassLoader(urls.toArray(new URL[0]),
                    ClassLoader.getPlatformClassLoader()));
        }
        int failures = 0;
        for (int i = 0; i < mods.size(); i++) {
            Class<?> helper = Class.forName(HELPER, true, mods.get(i));
            List<String> before = mapped();
            boolean loaded =
                    (Boolean) helper.getMethod("loadNatives", Path.class).invoke(null, gameDir);
            List<String> now = mapped();
            now.removeAll(before);
            String extractor = extractorPackage(helper);
            if (!loaded) {
                System.out.println("mod " + (i + 1) + " (extractor in " + extractor
                        + ") did not load the library");
                failures++;
                continue;
            }
            // A native call: a closed port gives a failure from the library's
            // own code, not an UnsatisfiedLinkError.
            CompletableFuture<Throwable> done = new CompletableFuture<>();
            Method save = helper.getMethod("saveConfiguration", String.class, String.class,
                    BiConsumer.class);
            save.invoke(null, "http://127.0.0.1:1", "{}",
                    (BiConsumer<Object, Throwable>) (response, failure) -> done.complete(failure));
            Throwable failure = done.get(60, TimeUnit.SECONDS);
            System.out.println("mod " + (i + 1) + " (extractor in " + extractor + ") loaded "
                    + String.join(" ", now) + "; a call to a closed port ended in " + failure);
        }
        System.exit(failures == 0 ? 0 : 1);
    }

    /** The package of the extractor the mod's class was compiled against. */
    private static String extractorPackage(Class<?> helper) {
        for (String name : new String[] {"tarnwick.natives", "one.shaded.tarnwick.natives",
                "two.shaded.tarnwick.natives"}) {
            try {
                Class.forName(name + ".NativeLibraryExtractor", false, helper.getClassLoader());
                return name;
            } catch (ClassNotFoundException e) {
                // not this one
            }
        }
        return "none found";
    }

    private static List<String> mapped() throws Exception {
        List<String> found = new ArrayList<>();
        for (String line : Files.readAllLines(Path.of("/proc/self/maps"))) {
            int at = line.indexOf('/');
            if (at >= 0 && line.contains("/libtarnwick") && !found.contains(line.substring(at))) {
                found.add(line.substring(at));
            }
        }
        return found;
    }
}

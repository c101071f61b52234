package tarnwick.natives;

import java.nio.file.Path;
import java.util.Properties;

/**
 * Which class loader of this JVM each library file was handed to. The JVM
 * binds a native library to the class loader of the class that loads it and
 * refuses the same file to any other loader, so a second loader (a second copy
 * of the mod, a launcher that reloads mods, two mods that ship the natives)
 * needs a file of its own.
 *
 * <p>Each of those loaders may hold its own copy of this class, so the record
 * lives where every copy sees it: in the system properties, as strings, which
 * keep no loader reachable. Copies of this class relocated into other
 * packages (a mod that shades the extractor) must find the same record, so
 * the keys look like no package or resource name: a tool that rewrites the
 * strings naming this package leaves them as they are.
 * A loader is named by its class and identity hash;
 * should two loaders ever share both, the second gets the main file, its load
 * fails as "already loaded in another classloader" and {@code explainLoadFailure}
 * says so.
 */
final class Bindings {
    private static final String BOUND = "[tarnwick natives] bound to ";
    private static final String COPY = "[tarnwick natives] copy for ";

    private Bindings() {}

    /** The name of {@code loader} in the record. */
    static String name(ClassLoader loader) {
        return loader == null ? "the boot class loader"
                : loader.getClass().getName() + "@"
                        + Integer.toHexString(System.identityHashCode(loader));
    }

    /**
     * Records {@code library} as handed to {@code loader} unless it went to a
     * loader before; returns the loader it belongs to now.
     */
    static String bind(Path library, String loader) {
        Object earlier = properties().putIfAbsent(BOUND + library.toUri(), loader);
        return earlier == null ? loader : earlier.toString();
    }

    /** The file name of the copy of {@code library} made for {@code loader} earlier, or null. */
    static String copyOf(Path library, String loader) {
        Object copy = properties().get(COPY + loader + ":" + library.toUri());
        return copy == null ? null : copy.toString();
    }

    /** Records {@code copy}, beside {@code library}, as the one made for {@code loader}. */
    static void recordCopy(Path library, String loader, Path copy) {
        properties().put(COPY + loader + ":" + library.toUri(), copy.getFileName().toString());
    }

    private static Properties properties() {
        return System.getProperties();
    }
}

package tarnwick.natives;

import java.io.IOException;
import java.io.InputStream;
import java.net.URL;
import java.util.ArrayList;
import java.util.LinkedHashSet;
import java.util.List;
import java.util.Set;

/**
 * Reads the files that ship beside the extractor, through whichever lookup
 * the mod loader answers. Loaders differ: some answer {@code getResourceAsStream}
 * and not {@code getResource}, some the reverse, some serve URLs of a scheme of
 * their own; in a module layer with a loader per module, the extractor's loader
 * does not see the classifier jar's module at all. So a file is looked for, in
 * this order:
 *
 * <ol>
 *   <li>the extractor's class loader: its stream, then its URL;
 *   <li>the extractor's own module (a named one reads its own files whatever
 *       its loader answers);
 *   <li>every module named {@code tarnwick.natives} or {@code tarnwick.natives.*}
 *       in the extractor's layer and its parents, and in the layers of the
 *       caller's module; files outside any package, as {@code natives/<platform>/}
 *       is, are open to every module;
 *   <li>the caller's class loader, for an extractor in a parent loader whose
 *       mods carry the natives themselves.
 * </ol>
 *
 * The module names are put together at run time, so that a copy of the
 * extractor relocated into another package still looks for the shipped names.
 */
final class Resources {
    /** The first part of every shipped module's name (see the class comment). */
    private static final String MODULES = String.join(".", "tarnwick", "natives");

    private final Class<?> owner;
    private final Class<?> caller;
    /** The modules to ask, found on first use: the layers do not change in between. */
    private Set<Module> modules;

    /**
     * Lookups through {@code owner}'s loader and module, and through
     * {@code caller}'s (which may be null, or the same).
     */
    Resources(Class<?> owner, Class<?> caller) {
        this.owner = owner;
        this.caller = caller;
    }

    /** The whole file {@code name}, or null when no lookup answers for it. */
    byte[] read(String name) throws IOException {
        try (InputStream in = open(name, true)) {
            return in == null ? null : in.readAllBytes();
        }
    }

    /** Whether some lookup answers for {@code name} (its content is not read). */
    boolean has(String name) {
        return answers(name, true);
    }

    private boolean answers(String name, boolean askCaller) {
        try (InputStream in = open(name, askCaller)) {
            return in != null;
        } catch (IOException e) {
            return true; // found, though it could not be opened: extracting says why
        }
    }

    private InputStream open(String name, boolean askCaller) throws IOException {
        ClassLoader own = owner.getClassLoader();
        InputStream in = fromLoader(own, name);
        if (in != null) {
            return in;
        }
        for (Module module : modules()) {
            in = module.getResourceAsStream(name);
            if (in != null) {
                return in;
            }
        }
        ClassLoader other = caller == null || !askCaller ? null : caller.getClassLoader();
        return other == null || other == own ? null : fromLoader(other, name);
    }

    /**
     * What was asked, for a message when nothing answered: the loaders and
     * modules, and whether the extractor's loader serves even the extractor's
     * own class file (when it does not, it serves no resources at all).
     */
    String describe() {
        List<String> asked = new ArrayList<>();
        ClassLoader own = owner.getClassLoader();
        asked.add("getResourceAsStream and getResource of " + name(own));
        for (Module module : modules()) {
            asked.add("module " + module.getName());
        }
        ClassLoader other = caller == null ? null : caller.getClassLoader();
        if (other != null && other != own) {
            asked.add("getResourceAsStream and getResource of the caller's " + name(other));
        }
        return String.join(", ", asked);
    }

    /**
     * Whether the extractor's loader or the modules serve even the extractor's
     * own class file: false means they serve no resources at all.
     */
    boolean servesAnything() {
        return answers(owner.getName().replace('.', '/') + ".class", false);
    }

    /** The loader's stream for {@code name}, or else its URL's, or null. */
    private static InputStream fromLoader(ClassLoader loader, String name) throws IOException {
        InputStream in = loader == null ? ClassLoader.getSystemResourceAsStream(name)
                                        : loader.getResourceAsStream(name);
        if (in != null) {
            return in;
        }
        URL url = loader == null ? ClassLoader.getSystemResource(name) : loader.getResource(name);
        return url == null ? null : url.openStream();
    }

    /** The named modules to ask, the extractor's own first, each once. */
    private Set<Module> modules() {
        if (modules == null) {
            modules = findModules();
        }
        return modules;
    }

    private Set<Module> findModules() {
        Set<Module> found = new LinkedHashSet<>();
        Module own = owner.getModule();
        if (own.isNamed()) {
            found.add(own);
        }
        List<ModuleLayer> layers = new ArrayList<>();
        addLayers(own.getLayer(), layers);
        if (caller != null) {
            addLayers(caller.getModule().getLayer(), layers);
        }
        for (ModuleLayer layer : layers) {
            for (Module module : layer.modules()) {
                String name = module.getName();
                if (name.equals(MODULES) || name.startsWith(MODULES + ".")) {
                    found.add(module);
                }
            }
        }
        return found;
    }

    /** {@code layer} and its parents, depth first, each once. */
    private static void addLayers(ModuleLayer layer, List<ModuleLayer> into) {
        if (layer == null || into.contains(layer)) {
            return;
        }
        into.add(layer);
        for (ModuleLayer parent : layer.parents()) {
            addLayers(parent, into);
        }
    }

    private static String name(ClassLoader loader) {
        return loader == null ? "the system class loader" : "the class loader " + loader;
    }
}

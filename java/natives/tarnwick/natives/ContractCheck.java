package tarnwick.natives;

import java.io.BufferedReader;
import java.io.IOException;
import java.io.ByteArrayInputStream;
import java.io.InputStreamReader;
import java.lang.reflect.Array;
import java.lang.reflect.Constructor;
import java.lang.reflect.Field;
import java.lang.reflect.Method;
import java.lang.reflect.Modifier;
import java.nio.charset.StandardCharsets;
import java.util.ArrayDeque;
import java.util.ArrayList;
import java.util.Deque;
import java.util.HashSet;
import java.util.List;
import java.util.Set;

/**
 * Checks that the classes tarnwick's native library binds to by name are
 * there, with every member it looks up and with exactly the descriptor it
 * looks it up by. The library finds them only when a call needs them, so a
 * mistyped constructor would otherwise surface first in a player's game.
 *
 * <p>Run it at build time or from a mod's own tests, with the mod's classes
 * (and the game's, where the mod's classes name them) on the class path:
 *
 * <pre>
 * java -cp &lt;mod classes&gt;:&lt;extractor jar&gt; tarnwick.natives.ContractCheck
 * </pre>
 *
 * <p>or from a module path, which starts only what the main module needs:
 *
 * <pre>
 * java -p &lt;mod jars&gt;:&lt;extractor jar&gt; --add-modules java.net.http,ALL-MODULE-PATH \
 *     -m tarnwick.natives/tarnwick.natives.ContractCheck
 * </pre>
 *
 * <p>It prints each missing or mistyped member with the descriptor the
 * library wants and exits with 0 when all are there, 1 when not.
 * {@code --list} prints every class and member it checks. Classes are loaded
 * without being initialised, so no static initialiser of the mod runs.
 */
public final class ContractCheck {
    /** How the library looks a member up, which decides what matches. */
    enum Kind {
        /** FindClass only. */
        CLASS("class"),
        /** GetMethodID with {@code <init>}: declared in the class itself. */
        CONSTRUCTOR("constructor"),
        /** GetMethodID: an instance method of the class or a supertype. */
        METHOD("method"),
        /** GetStaticMethodID: a static method of the class or a superclass. */
        STATIC_METHOD("static method"),
        /** The entry points the library exports: static native methods of the class. */
        NATIVE_METHOD("static native method"),
        /** GetStaticFieldID: a static field of the class or a supertype. */
        STATIC_FIELD("static field");

        final String words;

        Kind(String words) {
            this.words = words;
        }
    }

    /** One class, or one member of a class, as the library names it (JNI notation). */
    static final class Entry {
        final String owner;
        final Kind kind;
        final String name;
        final String descriptor;

        Entry(String owner, Kind kind, String name, String descriptor) {
            this.owner = owner;
            this.kind = kind;
            this.name = name;
            this.descriptor = descriptor;
        }

        @Override
        public String toString() {
            if (kind == Kind.CLASS) {
                return owner;
            }
            return owner + "." + name + (kind == Kind.STATIC_FIELD ? ":" : "") + descriptor;
        }
    }

    static final String HELPER = "vardel/tarnwick/api/client/online/TarnwickServerConnectionHelper";
    static final String LOADER = "vardel/tarnwick/api/asset/JsonAssetLoader";
    private static final String STRING = "Ljava/lang/String;";
    private static final String COMPLETION = "Ljava/util/function/BiConsumer;";
    private static final String BUILDER = "Ljava/net/http/HttpRequest$Builder;";
    private static final String SEND = "(Ljava/net/http/HttpRequest;Ljava/net/http/HttpResponse$BodyHandler;)";

    /**
     * The native methods the library exports, one "name descriptor" line each,
     * beside this class. The build writes it from the library's own table of
     * entry points, so that the list here is the list there.
     */
    static final String NATIVE_METHODS = "native-methods.txt";

    /** Why the native methods are not checked, or null when they are. */
    static final String NATIVES_UNREAD;

    /** Everything the library looks up, the mod's and the game's classes first. */
    static final List<Entry> ENTRIES;

    static {
        List<Entry> entries = new ArrayList<>();
        entries.add(new Entry(HELPER, Kind.STATIC_FIELD, "HTTP_CLIENT", "Ljava/net/http/HttpClient;"));
        String unread = null;
        try {
            entries.addAll(nativeMethods());
        } catch (IOException | IllegalArgumentException e) {
            // A repackaged jar that dropped the list: every other entry is
            // still checked, and check() reports these as not checked.
            unread = e.getMessage();
        }
        NATIVES_UNREAD = unread;
        entries.addAll(List.of(
                new Entry(LOADER, Kind.CONSTRUCTOR, "<init>",
                        "(Ljava/io/InputStream;Lnet/minecraft/resources/ResourceLocation;)V"),
                new Entry(LOADER, Kind.METHOD, "loadMesh", "(Z)Lvardel/tarnwick/api/client/model/Mesh;"),
                new Entry("vardel/tarnwick/api/client/model/Mesh", Kind.CLASS, null, null),
                new Entry("net/minecraft/resources/ResourceLocation", Kind.CLASS, null, null),
                // The JDK's: always there in a full JDK, missing from a runtime
                // image linked without the java.net.http module.
                new Entry("java/net/http/HttpRequest", Kind.STATIC_METHOD, "newBuilder", "()" + BUILDER),
                new Entry("java/net/http/HttpRequest$Builder", Kind.METHOD, "GET", "()" + BUILDER),
                new Entry("java/net/http/HttpRequest$Builder", Kind.METHOD, "POST",
                        "(Ljava/net/http/HttpRequest$BodyPublisher;)" + BUILDER),
                new Entry("java/net/http/HttpRequest$Builder", Kind.METHOD, "header",
                        "(" + STRING + STRING + ")" + BUILDER),
                new Entry("java/net/http/HttpRequest$Builder", Kind.METHOD, "uri", "(Ljava/net/URI;)" + BUILDER),
                new Entry("java/net/http/HttpRequest$Builder", Kind.METHOD, "build", "()Ljava/net/http/HttpRequest;"),
                new Entry("java/net/http/HttpRequest$BodyPublishers", Kind.STATIC_METHOD, "ofString",
                        "(" + STRING + ")Ljava/net/http/HttpRequest$BodyPublisher;"),
                new Entry("java/net/URI", Kind.STATIC_METHOD, "create", "(" + STRING + ")Ljava/net/URI;"),
                new Entry("java/net/http/HttpResponse$BodyHandlers", Kind.STATIC_METHOD, "ofString",
                        "()Ljava/net/http/HttpResponse$BodyHandler;"),
                new Entry("java/net/http/HttpResponse$BodyHandlers", Kind.STATIC_METHOD, "ofInputStream",
                        "()Ljava/net/http/HttpResponse$BodyHandler;"),
                new Entry("java/net/http/HttpClient", Kind.METHOD, "sendAsync",
                        SEND + "Ljava/util/concurrent/CompletableFuture;"),
                new Entry("java/net/http/HttpClient", Kind.METHOD, "send", SEND + "Ljava/net/http/HttpResponse;"),
                new Entry("java/util/concurrent/CompletableFuture", Kind.METHOD, "whenComplete",
                        "(" + COMPLETION + ")Ljava/util/concurrent/CompletableFuture;"),
                new Entry("java/util/function/BiConsumer", Kind.METHOD, "accept",
                        "(Ljava/lang/Object;Ljava/lang/Object;)V"),
                new Entry("java/net/http/HttpResponse", Kind.METHOD, "statusCode", "()I"),
                new Entry("java/net/http/HttpResponse", Kind.METHOD, "body", "()Ljava/lang/Object;"),
                new Entry("java/io/InputStream", Kind.METHOD, "readAllBytes", "()[B"),
                new Entry("java/io/InputStream", Kind.METHOD, "close", "()V"),
                new Entry("java/io/ByteArrayInputStream", Kind.CONSTRUCTOR, "<init>", "([BII)V"),
                new Entry("java/nio/charset/StandardCharsets", Kind.STATIC_FIELD, "UTF_8",
                        "Ljava/nio/charset/Charset;"),
                new Entry("java/lang/String", Kind.CONSTRUCTOR, "<init>", "([BIILjava/nio/charset/Charset;)V"),
                new Entry("java/lang/String", Kind.METHOD, "concat", "(" + STRING + ")" + STRING),
                new Entry("java/lang/Throwable", Kind.METHOD, "addSuppressed", "(Ljava/lang/Throwable;)V"),
                new Entry("java/lang/Thread", Kind.STATIC_METHOD, "currentThread", "()Ljava/lang/Thread;"),
                new Entry("java/lang/Thread", Kind.METHOD, "interrupt", "()V"),
                new Entry("java/lang/InterruptedException", Kind.CLASS, null, null),
                // The exceptions it throws: the failed download's built with its
                // message, the others with ThrowNew.
                new Entry("java/lang/IllegalStateException", Kind.CONSTRUCTOR, "<init>", "(" + STRING + ")V"),
                new Entry("java/lang/NullPointerException", Kind.CLASS, null, null),
                new Entry("java/lang/ClassCastException", Kind.CLASS, null, null),
                new Entry("java/lang/OutOfMemoryError", Kind.CLASS, null, null),
                new Entry("java/lang/NoSuchMethodError", Kind.CLASS, null, null),
                new Entry("java/lang/Error", Kind.CLASS, null, null)));
        ENTRIES = List.copyOf(entries);
    }

    private ContractCheck() {}

    private static List<Entry> nativeMethods() throws IOException {
        // Through this class's own loader or module, whichever answers; a
        // named module reads its own files without opening the package.
        String name = ContractCheck.class.getPackageName().replace('.', '/') + "/" + NATIVE_METHODS;
        Resources resources = new Resources(ContractCheck.class, null);
        byte[] bytes = resources.read(name);
        if (bytes == null) {
            throw new IOException(name + " is not beside ContractCheck"
                    + (resources.servesAnything() ? ""
                            : ": none of " + resources.describe() + " serves any file, not even"
                                    + " ContractCheck's own class file"));
        }
        List<Entry> natives = new ArrayList<>();
        try (BufferedReader lines = new BufferedReader(new InputStreamReader(
                new ByteArrayInputStream(bytes), StandardCharsets.UTF_8))) {
            for (String line = lines.readLine(); line != null; line = lines.readLine()) {
                String[] fields = line.trim().split(" ");
                if (fields.length != 2 || !fields[1].startsWith("(")) {
                    throw new IllegalArgumentException("tarnwick/natives/" + NATIVE_METHODS
                            + " has a line that is not a name and a descriptor: " + line);
                }
                natives.add(new Entry(HELPER, Kind.NATIVE_METHOD, fields[0], fields[1]));
            }
        }
        if (natives.isEmpty()) {
            throw new IOException("tarnwick/natives/" + NATIVE_METHODS + " is empty");
        }
        return natives;
    }

    /**
     * The problems with the classes {@code loader} finds, one line each; empty
     * when every class and member the library looks up is there as it wants it.
     */
    public static List<String> check(ClassLoader loader) {
        List<String> problems = new ArrayList<>();
        if (NATIVES_UNREAD != null) {
            problems.add("not checked: the static native methods of " + HELPER + " (" + NATIVES_UNREAD + ")");
        }
        Set<String> unreadable = new HashSet<>();
        for (Entry entry : ENTRIES) {
            if (unreadable.contains(entry.owner)) {
                problems.add("not checked: " + entry + " (" + entry.kind.words + "), as its class is missing");
                continue;
            }
            Class<?> owner;
            try {
                owner = Class.forName(entry.owner.replace('/', '.'), false, loader);
            } catch (ClassNotFoundException | LinkageError e) {
                unreadable.add(entry.owner);
                problems.add("missing class: " + entry.owner + " (" + e + ")");
                if (entry.kind != Kind.CLASS) {
                    problems.add("not checked: " + entry + " (" + entry.kind.words + "), as its class is missing");
                }
                continue;
            }
            try {
                String problem = checkMember(owner, entry);
                if (problem != null) {
                    problems.add(problem);
                }
            } catch (LinkageError e) {
                // Reflection resolves every type a class's members name.
                problems.add("cannot read the members of " + entry.owner + " to find " + entry + ": " + e);
            }
        }
        return problems;
    }

    private static String checkMember(Class<?> owner, Entry entry) {
        if (entry.kind == Kind.CLASS) {
            return null;
        } else if (entry.kind == Kind.STATIC_FIELD) {
            return checkField(owner, entry);
        } else if (entry.kind != Kind.CONSTRUCTOR) {
            return checkMethod(owner, entry);
        }
        for (Constructor<?> constructor : owner.getDeclaredConstructors()) {
            if (descriptor(constructor.getParameterTypes(), void.class).equals(entry.descriptor)) {
                return null;
            }
        }
        return missing(entry, constructors(owner));
    }

    private static String checkMethod(Class<?> owner, Entry entry) {
        List<String> sameName = new ArrayList<>();
        for (Class<?> type : supertypes(owner, entry.kind == Kind.METHOD)) {
            for (Method method : type.getDeclaredMethods()) {
                if (!method.getName().equals(entry.name)) {
                    continue;
                }
                String found = descriptor(method.getParameterTypes(), method.getReturnType());
                int modifiers = method.getModifiers();
                if (!found.equals(entry.descriptor)) {
                    sameName.add(describe(modifiers) + entry.name + found);
                    continue;
                }
                boolean isStatic = Modifier.isStatic(modifiers);
                if (entry.kind == Kind.METHOD && isStatic) {
                    return mistyped(entry, "is static; the library calls it on an instance");
                }
                if (entry.kind != Kind.METHOD && !isStatic) {
                    return mistyped(entry, "is not static");
                }
                if (entry.kind == Kind.NATIVE_METHOD && !Modifier.isNative(modifiers)) {
                    return mistyped(entry, "is not native: its calls never reach the library");
                }
                if (entry.kind == Kind.NATIVE_METHOD && type != owner) {
                    return mistyped(entry, "is declared in " + type.getName() + ", not in the class itself");
                }
                return null;
            }
        }
        return missing(entry, sameName);
    }

    private static String checkField(Class<?> owner, Entry entry) {
        for (Class<?> type : supertypes(owner, true)) {
            for (Field field : type.getDeclaredFields()) {
                if (!field.getName().equals(entry.name)) {
                    continue;
                }
                String found = descriptor(field.getType());
                if (!found.equals(entry.descriptor)) {
                    return missing(entry, List.of(describe(field.getModifiers()) + entry.name + ":" + found));
                }
                return Modifier.isStatic(field.getModifiers()) ? null : mistyped(entry, "is not static");
            }
        }
        return missing(entry, List.of());
    }

    private static String missing(Entry entry, List<String> instead) {
        String line = "missing " + entry.kind.words + ": " + entry;
        return instead.isEmpty() ? line : line + "\n    found instead: " + String.join(", ", instead);
    }

    private static String mistyped(Entry entry, String why) {
        return "mistyped " + entry.kind.words + ": " + entry + " " + why;
    }

    private static List<String> constructors(Class<?> owner) {
        List<String> found = new ArrayList<>();
        for (Constructor<?> constructor : owner.getDeclaredConstructors()) {
            found.add("<init>" + descriptor(constructor.getParameterTypes(), void.class));
        }
        return found;
    }

    private static String describe(int modifiers) {
        return (Modifier.isStatic(modifiers) ? "static " : "") + (Modifier.isNative(modifiers) ? "native " : "");
    }

    /**
     * The class and the supertypes JNI searches: for instance members the
     * superclasses and every interface, for static methods the superclasses.
     */
    private static List<Class<?>> supertypes(Class<?> start, boolean withInterfaces) {
        List<Class<?>> order = new ArrayList<>();
        Set<Class<?>> seen = new HashSet<>();
        Deque<Class<?>> queue = new ArrayDeque<>();
        queue.add(start);
        while (!queue.isEmpty()) {
            Class<?> type = queue.poll();
            if (!seen.add(type)) {
                continue;
            }
            order.add(type);
            if (type.getSuperclass() != null) {
                queue.add(type.getSuperclass());
            }
            if (withInterfaces) {
                queue.addAll(List.of(type.getInterfaces()));
            }
        }
        return order;
    }

    static String descriptor(Class<?>[] parameters, Class<?> result) {
        StringBuilder out = new StringBuilder("(");
        for (Class<?> parameter : parameters) {
            out.append(descriptor(parameter));
        }
        return out.append(')').append(descriptor(result)).toString();
    }

    static String descriptor(Class<?> type) {
        if (type == void.class) {
            return "V";
        }
        // An array class's name is "[" and its component's descriptor, with
        // dots for slashes: "[I", "[[B", "[Ljava.lang.String;".
        return Array.newInstance(type, 0).getClass().getName().substring(1).replace('.', '/');
    }

    /**
     * Checks the classes on this JVM's class path or module path; with {@code --list}, prints
     * what it checks instead. Exits with 0 when all are there, 1 when not, 2
     * for an unknown argument.
     */
    public static void main(String[] args) {
        if (args.length == 1 && args[0].equals("--list")) {
            for (Entry entry : ENTRIES) {
                System.out.println(entry.kind.words + " " + entry);
            }
            return;
        }
        if (args.length != 0) {
            System.err.println("usage: java -cp <mod classes>:<extractor jar> tarnwick.natives.ContractCheck [--list]");
            System.exit(2);
        }
        List<String> problems = check(ClassLoader.getSystemClassLoader());
        for (String problem : problems) {
            System.out.println(problem);
        }
        String modulePath = System.getProperty("jdk.module.path");
        if (!problems.isEmpty() && modulePath != null && !modulePath.isEmpty()) {
            // java -p ... -m starts only the modules the main module needs:
            // neither the HTTP client the library calls nor, unless something
            // requires it, the mod's own module.
            System.out.println("tarnwick contract: on a module path, run it with --add-modules "
                    + "java.net.http,ALL-MODULE-PATH");
        }
        if (problems.isEmpty()) {
            System.out.println("tarnwick contract: all " + ENTRIES.size()
                    + " classes and members the native library looks up are present");
            return;
        }
        System.out.println("tarnwick contract: " + problems.size() + " problem(s) among the "
                + ENTRIES.size() + " classes and members the native library looks up");
        System.exit(1);
    }
}

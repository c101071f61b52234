package tarnwick.test;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotNull;

import java.io.IOException;
import java.io.UncheckedIOException;
import java.lang.reflect.Method;
import java.lang.reflect.Modifier;
import java.net.URISyntaxException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Comparator;
import java.util.HashMap;
import java.util.List;
import java.util.Map;
import java.util.function.Function;
import javax.tools.JavaCompiler;
import javax.tools.ToolProvider;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;
import tarnwick.natives.ContractCheck;
import vardel.tarnwick.api.client.model.Mesh;
import vardel.tarnwick.api.client.online.TarnwickServerConnectionHelper;

/**
 * ContractCheck against mod classes that each get one member wrong, and only
 * that one: every kind of mismatch alone (static against instance, a wrong
 * type, a wrong return, a missing member, a native method inherited), each
 * expected to be reported, and the one report alone. The classes are
 * compiled here and loaded child-first over the stand-ins, so every other
 * class the check looks at is the stand-ins' and right.
 */
class ContractCheckTest {
    private static final String HELPER = "vardel/tarnwick/api/client/online/TarnwickServerConnectionHelper";
    private static final String LOADER = "vardel/tarnwick/api/asset/JsonAssetLoader";
    private static final String SIGN_IN = HELPER
            + ".signIn(Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;Ljava/util/function/BiConsumer;)V";
    private static final String LOAD_MESH = LOADER + ".loadMesh(Z)Lvardel/tarnwick/api/client/model/Mesh;";
    private static final String CONSTRUCTOR = LOADER
            + ".<init>(Ljava/io/InputStream;Lnet/minecraft/resources/ResourceLocation;)V";
    private static final String HTTP_CLIENT = HELPER + ".HTTP_CLIENT:Ljava/net/http/HttpClient;";

    @TempDir
    Path work;

    /** Loads the classes compiled into one directory itself, the rest from its parent. */
    private static final class ChildFirst extends ClassLoader {
        private final Path classes;

        ChildFirst(Path classes) {
            super(ContractCheckTest.class.getClassLoader());
            this.classes = classes;
        }

        @Override
        protected Class<?> loadClass(String name, boolean resolve) throws ClassNotFoundException {
            synchronized (getClassLoadingLock(name)) {
                Class<?> loaded = findLoadedClass(name);
                Path file = classes.resolve(name.replace('.', '/') + ".class");
                if (loaded == null && Files.isRegularFile(file)) {
                    try {
                        byte[] bytes = Files.readAllBytes(file);
                        loaded = defineClass(name, bytes, 0, bytes.length);
                    } catch (IOException e) {
                        throw new UncheckedIOException(e);
                    }
                }
                return loaded != null ? loaded : super.loadClass(name, resolve);
            }
        }
    }

    /** The problems ContractCheck finds with the given sources (file name to text) in place. */
    private List<String> problemsWith(String caseName, Map<String, String> sources) throws IOException {
        Path src = work.resolve(caseName + "/src");
        Path classes = work.resolve(caseName + "/classes");
        List<String> arguments = new ArrayList<>(List.of("-nowarn", "-proc:none",
                "-cp", standInClasses(), "-d", classes.toString()));
        for (Map.Entry<String, String> source : sources.entrySet()) {
            Path file = src.resolve(source.getKey());
            Files.createDirectories(file.getParent());
            Files.writeString(file, source.getValue(), StandardCharsets.UTF_8);
            arguments.add(file.toString());
        }
        JavaCompiler javac = ToolProvider.getSystemJavaCompiler();
        assertNotNull(javac, "this JVM has no compiler");
        assertEquals(0, javac.run(null, null, null, arguments.toArray(new String[0])), caseName + ": javac failed");
        return ContractCheck.check(new ChildFirst(classes));
    }

    /** Where the stand-ins' classes are: the test's class path is its launcher's, not the JVM's. */
    private static String standInClasses() {
        try {
            return Path.of(Mesh.class.getProtectionDomain().getCodeSource().getLocation().toURI()).toString();
        } catch (URISyntaxException e) {
            throw new IllegalStateException(e);
        }
    }

    /**
     * The stand-in helper's source, every static native method declared as the
     * stand-in declares it unless {@code declare} gives another declaration
     * (null: the stand-in's).
     */
    private static Map<String, String> helper(String header, String field, Function<Method, String> declare) {
        StringBuilder out = new StringBuilder("package vardel.tarnwick.api.client.online;\n")
                .append(header).append(" {\n    ").append(field).append("\n");
        Method[] methods = TarnwickServerConnectionHelper.class.getDeclaredMethods();
        Arrays.sort(methods, Comparator.comparing(Method::getName));
        for (Method method : methods) {
            int modifiers = method.getModifiers();
            if (!Modifier.isStatic(modifiers) || !Modifier.isNative(modifiers)) {
                continue;
            }
            String declaration = declare.apply(method);
            out.append("    ").append(declaration != null ? declaration
                    : "public static native " + method.getReturnType().getTypeName() + " " + method.getName()
                            + "(" + parameters(method) + ");").append("\n");
        }
        return Map.of("vardel/tarnwick/api/client/online/TarnwickServerConnectionHelper.java", out.append("}\n").toString());
    }

    private static String parameters(Method method) {
        Class<?>[] types = method.getParameterTypes();
        List<String> list = new ArrayList<>();
        for (int i = 0; i < types.length; i++) {
            list.add(types[i].getTypeName() + " p" + i);
        }
        return String.join(", ", list);
    }

    private static Map<String, String> helperWithSignIn(String signIn) {
        return helper("public final class TarnwickServerConnectionHelper",
                "public static java.net.http.HttpClient HTTP_CLIENT;",
                method -> method.getName().equals("signIn") ? signIn : null);
    }

    private static final String SIGN_IN_PARAMETERS =
            "(String baseUrl, String uuid, String code, java.util.function.BiConsumer<Object, Throwable> completion)";

    /** A loader class: the given members, in the stand-in's package. */
    private static Map<String, String> loader(String header, String members) {
        return Map.of("vardel/tarnwick/api/asset/JsonAssetLoader.java",
                "package vardel.tarnwick.api.asset;\n"
                        + "import java.io.InputStream;\n"
                        + "import net.minecraft.resources.ResourceLocation;\n"
                        + "import vardel.tarnwick.api.client.model.Mesh;\n"
                        + header + " {\n" + members + "\n}\n");
    }

    private static final String RIGHT_CONSTRUCTOR =
            "public JsonAssetLoader(InputStream stream, ResourceLocation location) {}\n";

    private void assertReports(String caseName, Map<String, String> sources, String... expected) throws IOException {
        List<String> problems = problemsWith(caseName, sources);
        assertEquals(List.of(expected), problems, caseName);
    }

    @Test
    void theStandInsPassAsTheyAre() throws IOException {
        assertEquals(List.of(), ContractCheck.check(ContractCheckTest.class.getClassLoader()));
        // The generated helper and a right loader, compiled here, pass too:
        // what the cases below report is their one change.
        assertReports("generated helper", helperWithSignIn(null));
        assertReports("right loader", loader("public class JsonAssetLoader",
                RIGHT_CONSTRUCTOR + "public Mesh loadMesh(boolean flag) { return null; }"));
        // JNI finds an instance method in a superclass too.
        Map<String, String> inherited = new HashMap<>(loader(
                "public class JsonAssetLoader extends Base", RIGHT_CONSTRUCTOR));
        inherited.put("vardel/tarnwick/api/asset/Base.java", "package vardel.tarnwick.api.asset;\n"
                + "public class Base { public vardel.tarnwick.api.client.model.Mesh loadMesh(boolean flag) { return null; } }\n");
        assertReports("loadMesh inherited", inherited);
    }

    @Test
    void eachMismatchOfTheHelperIsReportedAlone() throws IOException {
        assertReports("field of another type",
                helper("public final class TarnwickServerConnectionHelper", "public static Object HTTP_CLIENT;", m -> null),
                "missing static field: " + HTTP_CLIENT + "\n    found instead: static HTTP_CLIENT:Ljava/lang/Object;");
        assertReports("instance field",
                helper("public final class TarnwickServerConnectionHelper",
                        "public java.net.http.HttpClient HTTP_CLIENT;", m -> null),
                "mistyped static field: " + HTTP_CLIENT + " is not static");
        assertReports("field missing",
                helper("public final class TarnwickServerConnectionHelper", "", m -> null),
                "missing static field: " + HTTP_CLIENT);
        assertReports("not native",
                helperWithSignIn("public static void signIn" + SIGN_IN_PARAMETERS + " {}"),
                "mistyped static native method: " + SIGN_IN + " is not native: its calls never reach the library");
        assertReports("instance native",
                helperWithSignIn("public native void signIn" + SIGN_IN_PARAMETERS + ";"),
                "mistyped static native method: " + SIGN_IN + " is not static");
        assertReports("wrong return",
                helperWithSignIn("public static native int signIn" + SIGN_IN_PARAMETERS + ";"),
                "missing static native method: " + SIGN_IN + "\n    found instead: static native signIn"
                        + "(Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;Ljava/util/function/BiConsumer;)I");
        assertReports("wrong parameter",
                helperWithSignIn("public static native void signIn(String baseUrl, String uuid, Object code,"
                        + " java.util.function.BiConsumer<Object, Throwable> completion);"),
                "missing static native method: " + SIGN_IN + "\n    found instead: static native signIn"
                        + "(Ljava/lang/String;Ljava/lang/String;Ljava/lang/Object;Ljava/util/function/BiConsumer;)V");
        assertReports("method missing", helperWithSignIn(""), "missing static native method: " + SIGN_IN);

        // A native method the class inherits binds to its superclass's name,
        // not to the library's entry point.
        Map<String, String> inherited = new HashMap<>(helper(
                "public final class TarnwickServerConnectionHelper extends Base",
                "public static java.net.http.HttpClient HTTP_CLIENT;",
                m -> m.getName().equals("signIn") ? "" : null));
        inherited.put("vardel/tarnwick/api/client/online/Base.java", "package vardel.tarnwick.api.client.online;\n"
                + "public class Base { public static native void signIn" + SIGN_IN_PARAMETERS + "; }\n");
        assertReports("native method inherited", inherited, "mistyped static native method: " + SIGN_IN
                + " is declared in vardel.tarnwick.api.client.online.Base, not in the class itself");
    }

    @Test
    void eachMismatchOfTheLoaderIsReportedAlone() throws IOException {
        assertReports("static loadMesh", loader("public class JsonAssetLoader",
                RIGHT_CONSTRUCTOR + "public static Mesh loadMesh(boolean flag) { return null; }"),
                "mistyped method: " + LOAD_MESH + " is static; the library calls it on an instance");
        assertReports("loadMesh of another return type", loader("public class JsonAssetLoader",
                RIGHT_CONSTRUCTOR + "public Object loadMesh(boolean flag) { return null; }"),
                "missing method: " + LOAD_MESH + "\n    found instead: loadMesh(Z)Ljava/lang/Object;");
        assertReports("loadMesh of another parameter", loader("public class JsonAssetLoader",
                RIGHT_CONSTRUCTOR + "public Mesh loadMesh(int flag) { return null; }"),
                "missing method: " + LOAD_MESH + "\n    found instead: loadMesh(I)Lvardel/tarnwick/api/client/model/Mesh;");
        assertReports("loadMesh missing", loader("public class JsonAssetLoader", RIGHT_CONSTRUCTOR),
                "missing method: " + LOAD_MESH);
        assertReports("constructor of another type", loader("public class JsonAssetLoader",
                "public JsonAssetLoader(InputStream stream, String location) {}\n"
                        + "public Mesh loadMesh(boolean flag) { return null; }"),
                "missing constructor: " + CONSTRUCTOR
                        + "\n    found instead: <init>(Ljava/io/InputStream;Ljava/lang/String;)V");
        // A constructor is looked up in the class itself: a superclass's does not count.
        Map<String, String> inherited = new HashMap<>(loader("public class JsonAssetLoader extends Base",
                "public JsonAssetLoader() { super(null, null); }\npublic Mesh loadMesh(boolean flag) { return null; }"));
        inherited.put("vardel/tarnwick/api/asset/Base.java", "package vardel.tarnwick.api.asset;\n"
                + "public class Base { public Base(java.io.InputStream s, net.minecraft.resources.ResourceLocation l) {} }\n");
        assertReports("constructor inherited", inherited,
                "missing constructor: " + CONSTRUCTOR + "\n    found instead: <init>()V");
    }
}

package tarnwick.demo;

import java.io.IOException;
import java.io.PrintStream;
import java.lang.reflect.InvocationTargetException;
import java.lang.reflect.Method;
import java.lang.reflect.Modifier;
import java.lang.reflect.ParameterizedType;
import java.lang.reflect.Type;
import java.net.http.HttpResponse;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Comparator;
import java.util.HashSet;
import java.util.List;
import java.util.Set;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.ExecutionException;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.TimeoutException;
import java.util.function.BiConsumer;
import java.util.function.Consumer;
import java.util.regex.Matcher;
import java.util.regex.Pattern;
import vardel.tarnwick.api.client.model.Mesh;
import vardel.tarnwick.api.client.online.TarnwickServerConnectionHelper;

/**
 * Drives every native entry point through the real library against the
 * stand-in service, printing each request as the service received it and
 * what the completion was given. Exits with 1 when any call ends other than
 * expected. The calls that make a story (sign in, save, load models, sign
 * out) are written out; every other native method of the helper is called
 * the same way (see {@link #callTheOthers}), so that an ordinary new
 * endpoint needs only its route in the stand-in service.
 *
 * <p>Arguments: the directory of sealed models the service serves, and the
 * directory of their JSON sources (to check what the loader was handed).
 */
public final class Demo {
    private static final String UUID = "6a1f3c2e5b7d4e90";
    private static final String CODE = "731904";
    private static final long WAIT_SECONDS = 10;
    private static final int SHOWN = 72;

    private final StandInService service;
    private final String base;
    private final Path sources;
    private final PrintStream out = System.out;
    private final Set<String> called = new HashSet<>();
    private int step;
    private int unexpected;

    private Demo(StandInService service, Path sources) {
        this.service = service;
        this.base = service.baseUrl();
        this.sources = sources;
    }

    public static void main(String[] args) throws Exception {
        if (args.length != 2) {
            System.err.println("usage: Demo SEALED_MODELS_DIR MODEL_SOURCES_DIR");
            System.exit(2);
        }
        int unexpected;
        try (StandInService service = new StandInService(Path.of(args[0]))) {
            unexpected = new Demo(service, Path.of(args[1])).run();
        }
        System.exit(unexpected == 0 ? 0 : 1);
    }

    private int run() throws Exception {
        out.println("Stand-in service at " + base + " (player " + UUID + ").");
        out.println("Every call goes through the native library. A request's Content-Type and");
        out.println("body are shown when it had them; each mesh's text is checked against");
        out.println("demo/models.");
        out.println();

        service.issueCode(UUID, CODE);
        HttpResponse<String> signedIn = call("signIn(uuid, \"" + CODE + "\")", 200,
                c -> TarnwickServerConnectionHelper.signIn(base, UUID, CODE, c));
        String body = signedIn == null ? "" : signedIn.body();
        String access = field(body, "access_token");
        String refresh = field(body, "refresh_token");
        String provider = field(body, "provider");
        String tokens = "\"" + access + "\", \"" + refresh + "\", \"" + provider + "\"";

        call("autoLogin(uuid, " + tokens + ")", 200, c -> TarnwickServerConnectionHelper.autoLogin(
                base, UUID, access, refresh, provider, c));
        call("getAvailableCosmetics(uuid, " + tokens + ")", 200,
                c -> TarnwickServerConnectionHelper.getAvailableCosmetics(
                        base, UUID, access, refresh, provider, c));
        String document =
                "{\"mc_uuid\":\"" + UUID + "\",\"hat\":\"top_hat\",\"back\":\"cosmetics/wings\"}";
        call("saveConfiguration(document)", 200,
                c -> TarnwickServerConnectionHelper.saveConfiguration(base, document, c));
        HttpResponse<String> skin = call("getPlayerSkinInfo(uuid)", 200,
                c -> TarnwickServerConnectionHelper.getPlayerSkinInfo(base, UUID, c));
        if (skin != null && !document.equals(skin.body())) {
            flag("the saved document did not come back");
        }

        loadMesh("top_hat", "", "top_hat.json");
        loadMesh("cosmetics/wings", "", "cosmetics/wings.json");
        loadMesh("crown", "  (no such model)", null);
        loadMesh("scarf", "  (sealed under another key: the library prints its padding line)", "");
        callTheOthers(access, refresh, provider);

        call("signOut(uuid, " + tokens + ")", 200, c -> TarnwickServerConnectionHelper.signOut(
                base, UUID, access, refresh, provider, c));
        call("autoLogin(uuid, " + tokens + ")  (after signing out)", 401,
                c -> TarnwickServerConnectionHelper.autoLogin(
                        base, UUID, access, refresh, provider, c));

        out.println();
        out.println(unexpected == 0 ? "All calls ended as expected."
                                    : unexpected + " call(s) ended other than expected.");
        return unexpected;
    }

    /** One asynchronous service call; returns the response, or null if there was none. */
    private HttpResponse<String> call(String title, int expectedStatus,
            Consumer<BiConsumer<HttpResponse<String>, Throwable>> invoke)
            throws InterruptedException {
        heading(title);
        CompletableFuture<HttpResponse<String>> done = new CompletableFuture<>();
        invoke.accept((response, failure) -> {
            if (failure != null) {
                done.completeExceptionally(failure);
            } else {
                done.complete(response);
            }
        });
        showRequest();
        try {
            HttpResponse<String> response = done.get(WAIT_SECONDS, TimeUnit.SECONDS);
            out.println("    completion  " + response.statusCode() + " "
                    + shorten(response.body()));
            if (response.statusCode() != expectedStatus) {
                flag("expected status " + expectedStatus);
            }
            return response;
        } catch (ExecutionException e) {
            out.println("    completion  failed: " + e.getCause());
            flag("expected a response");
        } catch (TimeoutException e) {
            flag("the completion was not called within " + WAIT_SECONDS + " s");
        }
        return null;
    }

    /**
     * Calls each native method of the helper that the demo has not called
     * yet, signOut aside (it ends the session, and comes last), in the order
     * of their names. Such a method must take baseUrl, then strings, then a
     * completion that is given an HTTP response; the strings are, by
     * position, the player's UUID and the session's access token, refresh
     * token and provider, as the entry points that take them order them. The
     * service must answer 200. A method of another shape needs a call of its
     * own in {@link #run}; until it has one, the demo flags it.
     */
    private void callTheOthers(String access, String refresh, String provider)
            throws InterruptedException {
        String[] samples = {UUID, access, refresh, provider};
        String[] shown = {"uuid", quote(access), quote(refresh), quote(provider)};
        List<Method> others = new ArrayList<>();
        for (Method method : TarnwickServerConnectionHelper.class.getDeclaredMethods()) {
            if (Modifier.isNative(method.getModifiers()) && !called.contains(method.getName())
                    && !method.getName().equals("signOut")) {
                others.add(method);
            }
        }
        others.sort(Comparator.comparing(Method::getName));
        for (Method method : others) {
            Class<?>[] types = method.getParameterTypes();
            int strings = types.length - 2;
            boolean ordinary = strings >= 0 && strings <= samples.length
                    && completesWithResponse(method);
            for (int i = 0; ordinary && i <= strings; i++) {
                ordinary = types[i] == String.class;
            }
            if (!ordinary) {
                heading(method.getName() + "(...)");
                flag("not an ordinary call of strings and a completion: give it its own"
                        + " call in Demo.run");
                continue;
            }
            Object[] arguments = new Object[types.length];
            arguments[0] = base;
            System.arraycopy(samples, 0, arguments, 1, strings);
            String title = method.getName() + "("
                    + String.join(", ", Arrays.copyOf(shown, strings)) + ")";
            call(title, 200, c -> {
                arguments[arguments.length - 1] = c;
                try {
                    method.invoke(null, arguments);
                } catch (IllegalAccessException e) {
                    throw new IllegalStateException(e);
                } catch (InvocationTargetException e) {
                    throw new IllegalStateException(method.getName() + " threw", e.getCause());
                }
            });
        }
    }

    /** Whether the method's last parameter is a BiConsumer of an HTTP response. */
    private static boolean completesWithResponse(Method method) {
        Type[] types = method.getGenericParameterTypes();
        if (types.length == 0 || !(types[types.length - 1] instanceof ParameterizedType)) {
            return false;
        }
        ParameterizedType last = (ParameterizedType) types[types.length - 1];
        Type given = last.getActualTypeArguments()[0];
        return last.getRawType() == BiConsumer.class && given instanceof ParameterizedType
                && ((ParameterizedType) given).getRawType() == HttpResponse.class;
    }

    /**
     * One blocking model load. A null source file means the load must throw;
     * an empty one means the loader must be handed an empty text.
     */
    private void loadMesh(String name, String note, String source) throws IOException,
            InterruptedException {
        heading("loadRemoteMesh(\"" + name + "\")" + note);
        Mesh[] mesh = new Mesh[1];
        Throwable[] failure = new Throwable[1];
        int[] calls = new int[1];
        try {
            TarnwickServerConnectionHelper.loadRemoteMesh(base, name, (m, t) -> {
                mesh[0] = m;
                failure[0] = t;
                calls[0]++;
            });
        } catch (IllegalStateException e) {
            showRequest();
            out.println("    threw       IllegalStateException: " + e.getMessage());
            if (source != null || calls[0] != 0) {
                flag("expected no exception and one completion");
            }
            return;
        }
        showRequest();
        if (failure[0] != null || mesh[0] == null) {
            out.println("    completion  "
                    + (failure[0] != null ? "failed: " + failure[0] : "no mesh"));
            flag("expected a mesh");
            return;
        }
        String text = mesh[0].text();
        String expected = source == null || source.isEmpty()
                ? "" : Files.readString(sources.resolve(source), StandardCharsets.UTF_8);
        out.println("    completion  " + mesh[0] + (text.isEmpty() ? "" : " " + shorten(text)));
        if (calls[0] != 1 || source == null || !text.equals(expected)) {
            flag(source == null ? "expected IllegalStateException"
                                : "expected one completion with the text of " + source);
        }
    }

    private void heading(String title) {
        called.add(title.substring(0, title.indexOf('(')));
        out.println("[" + ++step + "] " + title);
        // The library writes to the same standard output.
        out.flush();
    }

    private void showRequest() throws InterruptedException {
        StandInService.Request request = service.take(WAIT_SECONDS);
        if (request == null) {
            flag("the service received no request");
            return;
        }
        out.println("    service got " + request.method + " " + request.target);
        if (request.contentType != null) {
            out.println("                Content-Type: " + request.contentType);
        }
        if (!request.body.isEmpty()) {
            out.println("                body: " + shorten(request.body));
        }
    }

    private void flag(String what) {
        unexpected++;
        out.println("    UNEXPECTED: " + what);
    }

    private static String quote(String text) {
        return "\"" + text + "\"";
    }

    private static String shorten(String text) {
        String line = text.replace("\n", " ").replaceAll("\\s+", " ").trim();
        return line.length() <= SHOWN ? line : line.substring(0, SHOWN - 3) + "...";
    }

    private static String field(String json, String name) {
        Matcher matcher = Pattern.compile("\"" + name + "\"\\s*:\\s*\"([^\"]*)\"").matcher(json);
        return matcher.find() ? matcher.group(1) : "";
    }
}

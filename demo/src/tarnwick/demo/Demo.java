package tarnwick.demo;

import java.io.IOException;
import java.io.PrintStream;
import java.net.http.HttpResponse;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
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
 * expected.
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

    private static String shorten(String text) {
        String line = text.replace("\n", " ").replaceAll("\\s+", " ").trim();
        return line.length() <= SHOWN ? line : line.substring(0, SHOWN - 3) + "...";
    }

    private static String field(String json, String name) {
        Matcher matcher = Pattern.compile("\"" + name + "\"\\s*:\\s*\"([^\"]*)\"").matcher(json);
        return matcher.find() ? matcher.group(1) : "";
    }
}

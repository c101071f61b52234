package example.mod;

import com.sun.net.httpserver.HttpServer;
import java.io.OutputStream;
import java.net.ConnectException;
import java.net.InetAddress;
import java.net.InetSocketAddress;
import java.net.ServerSocket;
import java.net.http.HttpClient;
import java.nio.charset.StandardCharsets;
import java.nio.file.Path;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.CompletionException;
import java.util.concurrent.TimeUnit;
import tarnwick.natives.NativeLibraryExtractor;
import vardel.tarnwick.api.client.online.TarnwickServerConnectionHelper;

/**
 * The mod's own start: loads the natives through the shipped class, signs in
 * against a loopback server and then against a closed port. Prints what it
 * got; exits with 1 when anything differs from what the documents promise.
 * With --expect-unsupported it checks instead that a class path without this
 * platform's natives leaves the library unsupported and unloaded, and that
 * the game directory stays untouched.
 * Usage: ConsumerMain [--expect-unsupported] GAME_DIRECTORY
 */
public final class ConsumerMain {
    public static void main(String[] args) throws Exception {
        if (args[0].equals("--expect-unsupported")) {
            boolean supported = NativeLibraryExtractor.isSupported();
            boolean loaded = TarnwickServerConnectionHelper.loadNatives(Path.of(args[1]));
            if (supported || loaded) {
                fail("without this platform's natives: isSupported " + supported + ", loadNatives " + loaded);
            }
            System.out.println("without this platform's natives: isSupported false, loadNatives false");
            System.exit(0);
        }
        if (!TarnwickServerConnectionHelper.loadNatives(Path.of(args[0]))) {
            fail("loadNatives returned false");
        }
        if (TarnwickServerConnectionHelper.HTTP_CLIENT == null) {
            TarnwickServerConnectionHelper.HTTP_CLIENT = HttpClient.newHttpClient();
        }
        HttpServer server = HttpServer.create(new InetSocketAddress(InetAddress.getLoopbackAddress(), 0), 0);
        server.createContext("/", exchange -> {
            byte[] body = ("signed in: " + exchange.getRequestURI()).getBytes(StandardCharsets.UTF_8);
            exchange.sendResponseHeaders(200, body.length);
            try (OutputStream out = exchange.getResponseBody()) {
                out.write(body);
            }
        });
        server.start();
        try {
            String base = "http://127.0.0.1:" + server.getAddress().getPort();
            Outcome good = signIn(base);
            String expected = "200 signed in: /login_code?mc_uuid=player-1&code=code-2";
            if (good.failure != null || !expected.equals(good.text)) {
                fail("signIn gave " + good.text + " / " + good.failure + ", expected " + expected);
            }
            System.out.println("signIn through the resolved library: " + good.text);

            int closed;
            try (ServerSocket socket = new ServerSocket(0, 1, InetAddress.getLoopbackAddress())) {
                closed = socket.getLocalPort();
            }
            Outcome refused = signIn("http://127.0.0.1:" + closed);
            if (!(refused.failure instanceof CompletionException)
                    || !(refused.failure.getCause() instanceof ConnectException)) {
                fail("signIn to a closed port gave " + refused.text + " / " + refused.failure
                        + ", expected a CompletionException caused by a ConnectException");
            }
            System.out.println("signIn to a closed port: " + refused.failure);
        } finally {
            server.stop(0);
        }
        System.exit(0);
    }

    private static final class Outcome {
        String text;
        Throwable failure;
    }

    private static Outcome signIn(String base) throws Exception {
        CompletableFuture<Outcome> done = new CompletableFuture<>();
        TarnwickServerConnectionHelper.signIn(base, "player-1", "code-2", (response, failure) -> {
            Outcome outcome = new Outcome();
            outcome.text = response == null ? null : response.statusCode() + " " + response.body();
            outcome.failure = failure;
            done.complete(outcome);
        });
        return done.get(30, TimeUnit.SECONDS);
    }

    private static void fail(String message) {
        System.err.println("FAIL: " + message);
        System.exit(1);
    }
}

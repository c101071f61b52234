package tarnwick.test;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertSame;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.IOException;
import java.net.ConnectException;
import java.net.ServerSocket;
import java.net.URI;
import java.net.http.HttpClient;
import java.net.http.HttpRequest;
import java.net.http.HttpResponse;
import java.nio.charset.StandardCharsets;
import java.util.List;
import java.util.Map;
import java.util.TreeSet;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.CompletionException;
import java.util.concurrent.BlockingQueue;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.ExecutionException;
import java.util.concurrent.LinkedBlockingQueue;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.TimeoutException;
import java.util.function.BiConsumer;
import java.util.regex.Matcher;
import java.util.regex.Pattern;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.function.Executable;
import vardel.tarnwick.api.client.online.TarnwickServerConnectionHelper;

class ServiceCallsTest {
    private RecordingServer server;
    private HttpClient savedClient;
    private GatedClient client;

    /**
     * A response future the test completes itself, on its own thread, with
     * the outcome of the real one. Completions attached with whenComplete
     * then run inside {@link #settle}, so when it returns every call of a
     * completion has happened: a second call is seen without waiting.
     */
    private static final class Gate<T> extends CompletableFuture<T> {
        final CompletableFuture<T> real;
        /** The future whenComplete returned: where a completion's exception ends. */
        volatile CompletableFuture<T> dependent;

        Gate(CompletableFuture<T> real) {
            this.real = real;
        }

        @Override
        public CompletableFuture<T> whenComplete(BiConsumer<? super T, ? super Throwable> action) {
            CompletableFuture<T> result = super.whenComplete(action);
            dependent = result;
            return result;
        }

        void settle() throws InterruptedException {
            try {
                complete(real.get(Timeouts.seconds(10), TimeUnit.SECONDS));
            } catch (ExecutionException e) {
                completeExceptionally(e.getCause());
            } catch (TimeoutException e) {
                throw new AssertionError("no answer within 10 s");
            }
        }
    }

    /** Hands the library a gate in place of every real response future. */
    private static final class GatedClient extends DelegatingClient {
        private final BlockingQueue<Gate<?>> gates = new LinkedBlockingQueue<>();

        GatedClient(HttpClient delegate) {
            super(delegate);
        }

        @Override
        public <T> CompletableFuture<HttpResponse<T>> sendAsync(
                HttpRequest request, HttpResponse.BodyHandler<T> handler) {
            Gate<HttpResponse<T>> gate = new Gate<>(delegate.sendAsync(request, handler));
            gates.add(gate);
            return gate;
        }

        /** Settles the oldest unsettled request and returns its gate. */
        Gate<?> settleNext() throws InterruptedException {
            Gate<?> gate = gates.poll(Timeouts.seconds(10), TimeUnit.SECONDS);
            if (gate == null) {
                throw new AssertionError("the library started no request");
            }
            gate.settle();
            return gate;
        }
    }

    @BeforeEach
    void start() throws IOException {
        server = new RecordingServer();
        savedClient = TarnwickServerConnectionHelper.HTTP_CLIENT;
        client = new GatedClient(HttpClient.newBuilder().version(HttpClient.Version.HTTP_1_1).build());
        TarnwickServerConnectionHelper.HTTP_CLIENT = client;
    }

    @AfterEach
    void stop() {
        TarnwickServerConnectionHelper.HTTP_CLIENT = savedClient;
        server.close();
    }

    private String base() {
        return server.baseUrl();
    }

    /** Settles the oldest request and checks the completion ran exactly once. */
    private <T> Outcome.Call<T> settle(Outcome<T> outcome) throws InterruptedException {
        client.settleNext();
        return outcome.only();
    }

    /** The outcome of a successful exchange: one call with a response and no failure. */
    private HttpResponse<String> response(Outcome<HttpResponse<String>> outcome)
            throws InterruptedException {
        Outcome.Call<HttpResponse<String>> call = settle(outcome);
        assertNull(call.failure, () -> "unexpected failure " + call.failure);
        return call.result;
    }

    @Test
    void eachCallSendsItsOwnRequest() throws Exception {
        Outcome<HttpResponse<String>> autoLogin = new Outcome<>();
        TarnwickServerConnectionHelper.autoLogin(base(), "u1", "a1", "r1", "p1", autoLogin);
        RecordingServer.Request request = server.take();
        assertEquals("GET", request.method);
        assertEquals("/auto_login?mc_uuid=u1&access_token=a1&refresh_token=r1&provider=p1",
                request.target());
        assertEquals("ok", response(autoLogin).body());

        Outcome<HttpResponse<String>> signIn = new Outcome<>();
        TarnwickServerConnectionHelper.signIn(base(), "u2", "c2", signIn);
        request = server.take();
        assertEquals("GET", request.method);
        assertEquals("/login_code?mc_uuid=u2&code=c2", request.target());
        response(signIn);

        Outcome<HttpResponse<String>> signOut = new Outcome<>();
        TarnwickServerConnectionHelper.signOut(base(), "u3", "a3", "r3", "p3", signOut);
        request = server.take();
        assertEquals("GET", request.method);
        assertEquals("/logout?mc_uuid=u3&access_token=a3&refresh_token=r3&provider=p3",
                request.target());
        response(signOut);

        Outcome<HttpResponse<String>> cosmetics = new Outcome<>();
        TarnwickServerConnectionHelper.getAvailableCosmetics(base(), "u4", "a4", "r4", "p4", cosmetics);
        request = server.take();
        assertEquals("GET", request.method);
        assertEquals("/member/cosmetics?minecraft_uuid=u4&access_token=a4&refresh_token=r4&provider=p4",
                request.target());
        response(cosmetics);

        Outcome<HttpResponse<String>> skin = new Outcome<>();
        TarnwickServerConnectionHelper.getPlayerSkinInfo(base(), "u5", skin);
        request = server.take();
        assertEquals("GET", request.method);
        assertEquals("/cosmetic/user_cosmetic?mc_uuid=u5", request.target());
        response(skin);

        Outcome<HttpResponse<String>> save = new Outcome<>();
        TarnwickServerConnectionHelper.saveConfiguration(base(), "{\"hat\":1}", save);
        request = server.take();
        assertEquals("POST", request.method);
        assertEquals("/member/update_cosmetic", request.target());
        assertEquals("{\"hat\":1}", request.bodyText());
        response(save);
    }

    @Test
    void getCarriesNoBodyAndOnlyTheClientsOwnHeaders() throws Exception {
        Outcome<HttpResponse<String>> outcome = new Outcome<>();
        TarnwickServerConnectionHelper.getPlayerSkinInfo(base(), "abc", outcome);
        RecordingServer.Request fromLibrary = server.take();
        response(outcome);

        // The same GET built in Java through the same client is the reference.
        HttpRequest reference = HttpRequest.newBuilder()
                .GET().uri(URI.create(base() + "/cosmetic/user_cosmetic?mc_uuid=abc")).build();
        TarnwickServerConnectionHelper.HTTP_CLIENT.send(reference, HttpResponse.BodyHandlers.ofString());
        RecordingServer.Request fromJava = server.take();

        assertEquals(0, fromLibrary.body.length);
        assertFalse(fromLibrary.headers.containsKey("Content-Type"));
        assertEquals(new TreeSet<>(fromJava.headers.keySet()), new TreeSet<>(fromLibrary.headers.keySet()));
    }

    @Test
    void postCarriesOneJsonContentTypeAndTheDocumentByteForByte() throws Exception {
        String document = "{\"name\":\"Zoë ✓ 😀\",\"list\":[1,2]}";
        Outcome<HttpResponse<String>> outcome = new Outcome<>();
        TarnwickServerConnectionHelper.saveConfiguration(base(), document, outcome);
        RecordingServer.Request request = server.take();
        response(outcome);

        assertEquals(java.util.List.of("application/json"), request.headers.get("Content-Type"));
        assertArrayEquals(document.getBytes(StandardCharsets.UTF_8), request.body);

        // Apart from Content-Type, the headers are those of a plain Java POST.
        HttpRequest reference = HttpRequest.newBuilder()
                .POST(HttpRequest.BodyPublishers.ofString(document))
                .uri(URI.create(base() + "/member/update_cosmetic")).build();
        TarnwickServerConnectionHelper.HTTP_CLIENT.send(reference, HttpResponse.BodyHandlers.ofString());
        TreeSet<String> expected = new TreeSet<>(String.CASE_INSENSITIVE_ORDER);
        expected.addAll(server.take().headers.keySet());
        expected.add("Content-Type");
        TreeSet<String> actual = new TreeSet<>(String.CASE_INSENSITIVE_ORDER);
        actual.addAll(request.headers.keySet());
        assertEquals(expected, actual);
    }

    @Test
    void saveConfigurationSendsEmptyAndInvalidDocumentsAsTheyAre() throws Exception {
        for (String document : new String[] {"", "not json {"}) {
            Outcome<HttpResponse<String>> outcome = new Outcome<>();
            TarnwickServerConnectionHelper.saveConfiguration(base(), document, outcome);
            RecordingServer.Request request = server.take();
            assertEquals("POST", request.method);
            assertEquals(document, request.bodyText());
            response(outcome);
        }
    }

    @Test
    void errorStatusesReachTheCompletionAsResponses() throws Exception {
        server.respondWith((exchange, request) -> RecordingServer.reply(exchange, 500, "broken"));
        Outcome<HttpResponse<String>> outcome = new Outcome<>();
        TarnwickServerConnectionHelper.signIn(base(), "u", "c", outcome);
        HttpResponse<String> response = response(outcome);
        assertEquals(500, response.statusCode());
        assertEquals("broken", response.body());
    }

    @Test
    void refusedConnectionFailsTheCompletionOnce() throws Exception {
        int port;
        try (ServerSocket socket = new ServerSocket(0)) {
            port = socket.getLocalPort();
        }
        Outcome<HttpResponse<String>> outcome = new Outcome<>();
        TarnwickServerConnectionHelper.signIn("http://127.0.0.1:" + port, "u", "c", outcome);
        Outcome.Call<HttpResponse<String>> call = settle(outcome);
        assertNull(call.result);
        // whenComplete hands on the failure of the stage it is attached to.
        Throwable cause = call.failure instanceof CompletionException ? call.failure.getCause() : call.failure;
        assertTrue(cause instanceof ConnectException, () -> "got " + call.failure);
    }

    @Test
    void callReturnsBeforeASlowServerAnswers() throws Exception {
        CountDownLatch release = new CountDownLatch(1);
        server.respondWith((exchange, request) -> {
            try {
                release.await(Timeouts.seconds(20), TimeUnit.SECONDS);
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
            }
            RecordingServer.reply(exchange, 200, "late");
        });
        Outcome<HttpResponse<String>> outcome = new Outcome<>();
        TarnwickServerConnectionHelper.getAvailableCosmetics(base(), "u", "a", "r", "p", outcome);
        server.take();  // the request is out, and the server is holding it
        assertEquals(0, outcome.count());
        release.countDown();
        assertEquals("late", response(outcome).body());
    }

    @Test
    void argumentsAreSubstitutedVerbatim() throws Exception {
        // An empty argument leaves an empty value.
        TarnwickServerConnectionHelper.signIn(base(), "u", "", new Outcome<>());
        assertEquals("/login_code?mc_uuid=u&code=", server.take().target());

        // Query syntax in an argument goes out unchanged.
        TarnwickServerConnectionHelper.signIn(base(), "a=b", "c&d=e#f", new Outcome<>());
        assertEquals("/login_code?mc_uuid=a=b&code=c&d=e", server.take().target());

        // Placeholders inside arguments are not replaced again. Braces are not
        // legal in a URI, so URI.create rejects the result and names it whole.
        Outcome<HttpResponse<String>> braces = new Outcome<>();
        TarnwickServerConnectionHelper.signIn(base() + "{}", "{}", "a{}", braces);
        Throwable failure = braces.only().failure;
        assertTrue(failure instanceof IllegalArgumentException, () -> "got " + failure);
        assertTrue(failure.getMessage().endsWith(base() + "{}/login_code?mc_uuid={}&code=a{}"),
                failure::getMessage);

        // A path prefix stays in front; a trailing slash doubles the separator.
        TarnwickServerConnectionHelper.getPlayerSkinInfo(base() + "/api/v2", "x", new Outcome<>());
        assertEquals("/api/v2/cosmetic/user_cosmetic?mc_uuid=x", server.take().target());
        // Newer HttpServer versions answer 400 to "//..." without calling a
        // handler, so the request line is read off a plain socket.
        BlockingQueue<String> heads = new LinkedBlockingQueue<>();
        try (RawServer raw = new RawServer(socket -> {
            heads.add(RawServer.readHead(socket.getInputStream()));
            RawServer.sendHead(socket, 0, new byte[0]);
        })) {
            TarnwickServerConnectionHelper.getPlayerSkinInfo(raw.baseUrl() + "/", "x", new Outcome<>());
            String head = heads.poll(10, TimeUnit.SECONDS);
            assertTrue(head != null && head.startsWith("GET //cosmetic/user_cosmetic?mc_uuid=x HTTP/1.1\r\n"),
                    () -> "request head: " + head);
        }
    }

    @Test
    void nonAsciiArgumentsTravelAsJavaWouldSendThem() throws Exception {
        String uuid = "Zoë✓😀";
        Outcome<HttpResponse<String>> outcome = new Outcome<>();
        TarnwickServerConnectionHelper.getPlayerSkinInfo(base(), uuid, outcome);
        String fromLibrary = server.take().target();
        response(outcome);

        HttpRequest reference = HttpRequest.newBuilder()
                .GET().uri(URI.create(base() + "/cosmetic/user_cosmetic?mc_uuid=" + uuid)).build();
        TarnwickServerConnectionHelper.HTTP_CLIENT.send(reference, HttpResponse.BodyHandlers.ofString());
        assertEquals(server.take().target(), fromLibrary);
    }

    /** Runs a call that must throw NullPointerException with the given message and send nothing. */
    private void assertRejected(String message, Executable call) throws Exception {
        NullPointerException thrown = assertThrows(NullPointerException.class, call);
        assertEquals(message, thrown.getMessage());
        server.expectNoRequest(200);
    }

    @Test
    void nullArgumentsAreRejectedBeforeAnythingIsSent() throws Exception {
        Outcome<HttpResponse<String>> outcome = new Outcome<>();
        assertRejected("baseUrl is null",
                () -> TarnwickServerConnectionHelper.signIn(null, "u", "c", outcome));
        assertRejected("uuid is null",
                () -> TarnwickServerConnectionHelper.getPlayerSkinInfo(base(), null, outcome));
        assertRejected("code is null",
                () -> TarnwickServerConnectionHelper.signIn(base(), "u", null, outcome));
        assertRejected("accessToken is null", () -> TarnwickServerConnectionHelper.autoLogin(
                base(), "u", null, "r", "p", outcome));
        assertRejected("refreshToken is null", () -> TarnwickServerConnectionHelper.signOut(
                base(), "u", "a", null, "p", outcome));
        assertRejected("provider is null", () -> TarnwickServerConnectionHelper.getAvailableCosmetics(
                base(), "u", "a", "r", null, outcome));
        assertRejected("document is null",
                () -> TarnwickServerConnectionHelper.saveConfiguration(base(), null, outcome));
        assertRejected("completion is null",
                () -> TarnwickServerConnectionHelper.signIn(base(), "u", "c", null));
        assertRejected("completion is null",
                () -> TarnwickServerConnectionHelper.saveConfiguration(base(), "{}", null));
        assertEquals(0, outcome.count());
    }

    @Test
    void nullClientIsRejectedAndNothingIsSent() throws Exception {
        TarnwickServerConnectionHelper.HTTP_CLIENT = null;
        Outcome<HttpResponse<String>> outcome = new Outcome<>();
        assertRejected("HTTP_CLIENT is null",
                () -> TarnwickServerConnectionHelper.signIn(base(), "u", "c", outcome));
        assertRejected("HTTP_CLIENT is null",
                () -> TarnwickServerConnectionHelper.saveConfiguration(base(), "{}", outcome));
        assertEquals(0, outcome.count());
    }

    @Test
    void badAddressFailsTheCompletionOnTheCallingThread() throws Exception {
        Outcome<HttpResponse<String>> get = new Outcome<>();
        TarnwickServerConnectionHelper.signIn("http://bad host", "u", "c", get);
        Outcome.Call<HttpResponse<String>> call = get.only();  // before the call returned
        assertNull(call.result);
        assertTrue(call.failure instanceof IllegalArgumentException, () -> "got " + call.failure);
        assertSame(Thread.currentThread(), call.thread);

        Outcome<HttpResponse<String>> post = new Outcome<>();
        TarnwickServerConnectionHelper.saveConfiguration("not a uri at all:::\\", "{}", post);
        assertTrue(post.only().failure instanceof IllegalArgumentException);
        server.expectNoRequest(200);
    }

    /** A client whose sendAsync throws, as a broken or closed client might. */
    private static final class ThrowingClient extends DelegatingClient {
        ThrowingClient(HttpClient delegate) {
            super(delegate);
        }

        @Override
        public <T> CompletableFuture<HttpResponse<T>> sendAsync(
                HttpRequest request, HttpResponse.BodyHandler<T> handler) {
            throw new IllegalStateException("client is shut down");
        }
    }

    /** A client whose sendAsync returns null. */
    private static final class NullFutureClient extends DelegatingClient {
        NullFutureClient(HttpClient delegate) {
            super(delegate);
        }

        @Override
        public <T> CompletableFuture<HttpResponse<T>> sendAsync(
                HttpRequest request, HttpResponse.BodyHandler<T> handler) {
            return null;
        }
    }

    @Test
    void failureToStartTheRequestFailsTheCompletionOnce() throws Exception {
        TarnwickServerConnectionHelper.HTTP_CLIENT = new ThrowingClient(HttpClient.newHttpClient());
        Outcome<HttpResponse<String>> outcome = new Outcome<>();
        TarnwickServerConnectionHelper.signIn(base(), "u", "c", outcome);
        Outcome.Call<HttpResponse<String>> call = outcome.only();
        assertEquals("client is shut down", call.failure.getMessage());
        assertSame(Thread.currentThread(), call.thread);

        TarnwickServerConnectionHelper.HTTP_CLIENT = new NullFutureClient(HttpClient.newHttpClient());
        Outcome<HttpResponse<String>> nullFuture = new Outcome<>();
        TarnwickServerConnectionHelper.saveConfiguration(base(), "{}", nullFuture);
        assertTrue(nullFuture.only().failure instanceof NullPointerException);
        server.expectNoRequest(200);
    }

    @Test
    void exceptionFromTheCompletionStaysInTheFuture() throws Exception {
        IllegalStateException thrown = new IllegalStateException("completion failed");
        BiConsumer<HttpResponse<String>, Throwable> throwing = (response, failure) -> {
            throw thrown;
        };
        // The call returns normally, and so does completing the response.
        TarnwickServerConnectionHelper.signIn(base(), "u", "c", throwing);
        Gate<?> gate = client.settleNext();
        // The exception ends in the future whenComplete returned, which the
        // library drops.
        ExecutionException kept = assertThrows(ExecutionException.class,
                () -> gate.dependent.get(Timeouts.seconds(10), TimeUnit.SECONDS));
        assertSame(thrown, kept.getCause());
    }

    @Test
    void argumentCopiesAreReleased() throws Exception {
        // A copy kept would leak its 1 MiB on each of the child's 64 calls,
        // or on each of 16 rounds of calls stopped by a null argument.
        ChildJvm.Result result = ChildJvm.run(List.of("-XX:NativeMemoryTracking=summary"), Map.of(),
                System.getProperty("tarnwick.library"), 60, "argumentCopies");
        Matcher growth = Pattern.compile("internal growth (-?\\d+) KB")
                .matcher(result.stdout);
        assertTrue(growth.find(), result.stdout + result.stderr);
        assertTrue(Long.parseLong(growth.group(1)) < 8 * 1024, result.stdout);
    }

    @Test
    void exceptionFromWhenCompleteIsLeftPendingForTheCaller() {
        IllegalStateException thrown = new IllegalStateException("whenComplete failed");
        TarnwickServerConnectionHelper.HTTP_CLIENT = new DelegatingClient(HttpClient.newHttpClient()) {
            @Override
            public <T> CompletableFuture<HttpResponse<T>> sendAsync(
                    HttpRequest request, HttpResponse.BodyHandler<T> handler) {
                return new CompletableFuture<>() {
                    @Override
                    public CompletableFuture<HttpResponse<T>> whenComplete(
                            BiConsumer<? super HttpResponse<T>, ? super Throwable> action) {
                        throw thrown;
                    }
                };
            }
        };
        Outcome<HttpResponse<String>> outcome = new Outcome<>();
        assertSame(thrown, assertThrows(IllegalStateException.class,
                () -> TarnwickServerConnectionHelper.signIn(base(), "u", "c", outcome)));
        assertEquals(0, outcome.count());
    }

    @Test
    void exceptionFromACompletionCalledDirectlyReachesTheCaller() {
        // When the request cannot be built, the library calls the completion
        // itself; what the completion throws is not swallowed.
        BiConsumer<HttpResponse<String>, Throwable> throwing = (response, failure) -> {
            throw new IllegalStateException("completion failed");
        };
        IllegalStateException thrown = assertThrows(IllegalStateException.class,
                () -> TarnwickServerConnectionHelper.signIn("http://bad host", "u", "c", throwing));
        assertEquals("completion failed", thrown.getMessage());
    }

    @Test
    void failedNativeAllocationThrowsOutOfMemoryErrorAndNothingElse() throws Exception {
        // The fault-injection copy of the library, told to fail allocating,
        // in a child JVM: one call of each form (a GET, signIn; the POST,
        // saveConfiguration; the blocking loadRemoteMesh) must throw
        // OutOfMemoryError to its caller, call no completion and leave the
        // JVM running.
        ChildJvm.Result result = ChildJvm.run(List.of(), Map.of("TARNWICK_FAIL_ALLOCATION", "1"),
                System.getProperty("tarnwick.faultLibrary"), 60, "calls", base());
        String line = "threw java.lang.OutOfMemoryError: native allocation failed, completions 0\n";
        assertEquals(line.repeat(3), result.stdout);
        server.expectNoRequest(200);
    }
}

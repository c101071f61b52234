package tarnwick.test;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertSame;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.FilterInputStream;
import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.net.ConnectException;
import java.net.ServerSocket;
import java.net.http.HttpClient;
import java.net.http.HttpHeaders;
import java.net.http.HttpRequest;
import java.net.http.HttpResponse;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Map;
import java.util.Optional;
import java.util.Random;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.ConcurrentHashMap;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicBoolean;
import java.util.function.BiConsumer;
import java.util.regex.Matcher;
import java.util.regex.Pattern;
import javax.net.ssl.SSLSession;
import javax.tools.ToolProvider;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import vardel.tarnwick.api.asset.JsonAssetLoader;
import vardel.tarnwick.api.client.model.Mesh;
import vardel.tarnwick.api.client.online.TarnwickServerConnectionHelper;

class RemoteMeshTest {
    private RecordingServer server;
    private HttpClient savedClient;
    /** Model files the server holds, by request path. */
    private final Map<String, byte[]> files = new ConcurrentHashMap<>();

    @BeforeEach
    void start() throws IOException {
        server = new RecordingServer();
        server.respondWith((exchange, request) -> {
            byte[] file = files.get(request.rawPath);
            if (file == null) {
                RecordingServer.reply(exchange, 404, "no such model");
            } else {
                exchange.sendResponseHeaders(200, file.length == 0 ? -1 : file.length);
                try (OutputStream out = exchange.getResponseBody()) {
                    out.write(file);
                }
            }
        });
        savedClient = TarnwickServerConnectionHelper.HTTP_CLIENT;
        TarnwickServerConnectionHelper.HTTP_CLIENT = HttpClient.newHttpClient();
        JsonAssetLoader.meshFactory = Mesh::new;
        JsonAssetLoader.lastLocation = null;
        JsonAssetLoader.lastLocationSeen = false;
    }

    @AfterEach
    void stop() {
        TarnwickServerConnectionHelper.HTTP_CLIENT = savedClient;
        JsonAssetLoader.meshFactory = Mesh::new;
        server.close();
    }

    /** Loads a model and checks it ended in exactly one completion, made on this thread. */
    private Outcome.Call<Mesh> load(String name) {
        Outcome<Mesh> outcome = new Outcome<>();
        TarnwickServerConnectionHelper.loadRemoteMesh(server.baseUrl(), name, outcome);
        Outcome.Call<Mesh> call = outcome.only();
        assertSame(Thread.currentThread(), call.thread);
        return call;
    }

    /** Loads a model that must succeed and returns the text the loader was given. */
    private byte[] loadText(String name) {
        Outcome.Call<Mesh> call = load(name);
        assertNull(call.failure, () -> "unexpected failure " + call.failure);
        return call.result.source();
    }

    private static byte[] utf8(String text) {
        return text.getBytes(StandardCharsets.UTF_8);
    }

    @Test
    void validModelsReachTheLoaderByteForByte() throws Exception {
        List<byte[]> texts = new ArrayList<>();
        texts.add(utf8("{}"));                                     // one block
        texts.add(utf8("0123456789abcdef"));                       // a whole block of padding
        texts.add(utf8("{\"name\":\"Zoë ✓ 😀\",\"v\":[1,2,3]}"));   // non-ASCII, several blocks
        byte[] large = new byte[3 * 1024 * 1024 + 7];              // several MiB
        Random random = new Random(7);
        for (int i = 0; i < large.length; i++) {
            large[i] = (byte) (1 + random.nextInt(255));
        }
        texts.add(large);
        // Inner blocks just short of one 1 MiB slice (the last block decoded in
        // the same slice), exactly one slice and exactly two (the last block
        // in a slice of its own).
        for (int length : new int[] {(1 << 20) - 1, 1 << 20, 2 << 20}) {
            texts.add(Arrays.copyOf(large, length));
        }
        for (int i = 0; i < texts.size(); i++) {
            files.put("/models/m" + i + ".enc", Models.seal(texts.get(i)));
            assertArrayEquals(texts.get(i), loadText("m" + i), "model " + i);
            assertEquals("/models/m" + i + ".enc", server.take().target());
        }
        // The loader is always given a null resource location.
        assertTrue(JsonAssetLoader.lastLocationSeen);
        assertNull(JsonAssetLoader.lastLocation);
    }

    @Test
    void nameWithSlashesFetchesFromADeeperPath() throws Exception {
        files.put("/models/hats/top/tall.enc", Models.seal(utf8("{\"hat\":true}")));
        assertEquals("{\"hat\":true}", new String(loadText("hats/top/tall"), StandardCharsets.UTF_8));
        assertEquals("/models/hats/top/tall.enc", server.take().target());
    }

    @Test
    void statusOtherThan200ThrowsWithStatusAndBody() throws Exception {
        int[] statuses = {404, 204, 500, 201};
        for (int status : statuses) {
            server.respondWith((exchange, request) ->
                    RecordingServer.reply(exchange, status, status == 204 ? "" : "went wrong"));
            Outcome<Mesh> outcome = new Outcome<>();
            IllegalStateException thrown = assertThrows(IllegalStateException.class,
                    () -> TarnwickServerConnectionHelper.loadRemoteMesh(server.baseUrl(), "m", outcome));
            String expected = status + " " + (status == 204 ? "" : "went wrong");
            assertEquals(expected, thrown.getMessage());
            assertEquals(0, outcome.count(), "completion called for " + status);
        }
    }

    @Test
    void malformedErrorBodyGivesAWellFormedMessage() {
        byte[] body = {'b', 'a', 'd', ' ', (byte) 0xff, (byte) 0xc0, (byte) 0xaf, (byte) 0xf0,
            (byte) 0x9f, (byte) 0x98, (byte) 0x80, (byte) 0xe2, (byte) 0x82, 'x', (byte) 0xf4,
            (byte) 0x90, 0, 'h', 'i', 'd', 'd', 'e', 'n'};
        server.respondWith((exchange, request) -> RecordingServer.reply(exchange, 404, body));
        IllegalStateException thrown = assertThrows(IllegalStateException.class,
                () -> TarnwickServerConnectionHelper.loadRemoteMesh(server.baseUrl(), "m", new Outcome<>()));
        // The JDK's own decoder is the reference: the text up to the zero byte,
        // each malformed sequence replaced.
        String expected = "404 " + new String(Arrays.copyOf(body, 16), StandardCharsets.UTF_8);
        assertEquals(expected, thrown.getMessage());
        assertTrue(thrown.getMessage().contains("😀"));

        // Bodies longer than the library scans at once (1 MiB slices) for
        // their zero byte: the text ends at the zero, wherever it stands
        // against the slices and the body's end, or is the whole body.
        int slice = 1 << 20;
        int[][] lengthAndZero = {
            {(3 << 20) + 7, slice + 5},      // inside the second slice
            {(3 << 20) + 7, 0},              // the first byte of the body and of a slice
            {(3 << 20) + 7, slice - 1},      // the last byte of the first slice
            {(3 << 20) + 7, slice},          // the first byte of the second slice
            {slice, slice - 1},              // the last byte of a body of one whole slice
            {slice + 1, slice},              // the last byte of the body, alone in its slice
            {2 * slice, 2 * slice - 1},      // the last byte of a body of whole slices
            {2 * slice, -1},                 // no zero byte in whole slices
            {23, 22},                        // the last byte of a short body
        };
        for (int[] c : lengthAndZero) {
            byte[] longBody = new byte[c[0]];
            Arrays.fill(longBody, (byte) 'x');
            if (c[1] >= 0) {
                longBody[c[1]] = 0;
            }
            server.respondWith((exchange, request) -> RecordingServer.reply(exchange, 500, longBody));
            IllegalStateException cut = assertThrows(IllegalStateException.class,
                    () -> TarnwickServerConnectionHelper.loadRemoteMesh(server.baseUrl(), "m", new Outcome<>()));
            String message = cut.getMessage();
            int textLength = c[1] >= 0 ? c[1] : c[0];
            assertTrue(message.equals("500 " + "x".repeat(textLength)),
                    () -> "body of " + c[0] + " bytes, zero at " + c[1] + ": a message of " + message.length()
                            + " characters, starting " + message.substring(0, Math.min(12, message.length())));
        }
    }

    @Test
    void undecodableBodiesGiveTheLoaderAnEmptyText() {
        files.put("/models/odd.enc", new byte[17]);   // not a multiple of 16
        assertArrayEquals(new byte[0], loadText("odd"));
        files.put("/models/empty.enc", new byte[0]);  // 200 with an empty body
        assertArrayEquals(new byte[0], loadText("empty"));
    }

    @Test
    void zeroBytesCutBlocksAndTheText() {
        // An inner block contributes its bytes up to its first zero byte.
        byte[] blocks = Models.concat(Models.block('a', 'b', 0, 'x', 'y'),
                Models.block('c', 'd', 'e', 'f', 'g', 'h', 'i', 'j', 'k', 'l', 'm', 'n', 'o', 'p', 'q', 'r'),
                Models.block('s', 0x80));
        files.put("/models/inner.enc", Models.encryptBlocks(blocks));
        assertEquals("abcdefghijklmnopqrs", new String(loadText("inner"), StandardCharsets.UTF_8));

        // A zero byte before the marker in the last block ends the text there.
        files.put("/models/last.enc", Models.encryptBlocks(Models.block('t', 'u', 0, 'v', 0x80)));
        assertEquals("tu", new String(loadText("last"), StandardCharsets.UTF_8));

        // The last block's first and last text byte, in a file of one block
        // and after an inner block, and after whole 1 MiB slices of inner
        // blocks (the last block then decoded in a slice of its own).
        byte[] zeroFirst = Models.block(0, 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i', 'j', 'k', 'l', 'm', 'n', 'o', 0x80);
        byte[] zeroLast = Models.block('a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i', 'j', 'k', 'l', 'm', 'n', 0, 0x80);
        byte[] inner = Models.block('0', '1', '2', '3', '4', '5', '6', '7', '8', '9', 'A', 'B', 'C', 'D', 'E', 'F');
        byte[] slice = new byte[1 << 20];
        Arrays.fill(slice, (byte) 's');
        String sliceText = "s".repeat(slice.length);
        Object[][] cases = {
            {zeroFirst, ""},
            {zeroLast, "abcdefghijklmn"},
            {Models.concat(inner, zeroFirst), "0123456789ABCDEF"},
            {Models.concat(inner, zeroLast), "0123456789ABCDEFabcdefghijklmn"},
            {Models.concat(slice, zeroFirst), sliceText},
            {Models.concat(slice, slice, zeroLast), sliceText + sliceText + "abcdefghijklmn"},
        };
        for (Object[] c : cases) {
            files.put("/models/edge.enc", Models.encryptBlocks((byte[]) c[0]));
            String text = new String(loadText("edge"), StandardCharsets.UTF_8);
            assertTrue(text.equals(c[1]), () -> "a " + ((byte[]) c[0]).length + "-byte file gave "
                    + text.length() + " characters, not " + ((String) c[1]).length());
        }
    }

    @Test
    void loaderOutcomesReachTheCompletion() {
        files.put("/models/unreadable.enc", Models.seal(utf8(JsonAssetLoader.UNREADABLE + "{}")));
        Outcome.Call<Mesh> refused = load("unreadable");
        assertNull(refused.result);
        assertTrue(refused.failure instanceof IllegalArgumentException, () -> "got " + refused.failure);
        assertEquals("unreadable model", refused.failure.getMessage());

        files.put("/models/m.enc", Models.seal(utf8("{}")));

        JsonAssetLoader.meshFactory = text -> null;
        Outcome.Call<Mesh> nothing = load("m");
        assertNull(nothing.result);
        assertNull(nothing.failure);

        IllegalArgumentException failure = new IllegalArgumentException("bad mesh");
        JsonAssetLoader.meshFactory = text -> {
            throw failure;
        };
        Outcome.Call<Mesh> failed = load("m");
        assertNull(failed.result);
        assertSame(failure, failed.failure);
    }

    @Test
    void exceptionFromTheCompletionReachesTheCaller() {
        files.put("/models/m.enc", Models.seal(utf8("{}")));
        BiConsumer<Mesh, Throwable> throwing = (mesh, failure) -> {
            throw new UnsupportedOperationException("completion failed");
        };
        UnsupportedOperationException thrown = assertThrows(UnsupportedOperationException.class,
                () -> TarnwickServerConnectionHelper.loadRemoteMesh(server.baseUrl(), "m", throwing));
        assertEquals("completion failed", thrown.getMessage());
    }

    @Test
    void refusedConnectionFailsTheCompletion() throws Exception {
        int port;
        try (ServerSocket socket = new ServerSocket(0)) {
            port = socket.getLocalPort();
        }
        Outcome<Mesh> outcome = new Outcome<>();
        TarnwickServerConnectionHelper.loadRemoteMesh("http://127.0.0.1:" + port, "m", outcome);
        // Only an interrupt sets the interrupt status again.
        assertFalse(Thread.interrupted(), "a refused connection set the interrupt status");
        Outcome.Call<Mesh> call = outcome.only();
        assertNull(call.result);
        assertTrue(call.failure instanceof ConnectException, () -> "got " + call.failure);
    }

    @Test
    void connectionBrokenMidBodyFailsTheCompletion() {
        server.respondWith((exchange, request) -> {
            // Promise a megabyte, send a little, then drop the connection.
            exchange.sendResponseHeaders(200, 1 << 20);
            OutputStream out = exchange.getResponseBody();
            out.write(new byte[100]);
            out.flush();
            exchange.getHttpContext().getServer().stop(0);
        });
        Outcome.Call<Mesh> call = load("m");
        assertNull(call.result);
        assertTrue(call.failure instanceof IOException, () -> "got " + call.failure);
    }

    /** loadRemoteMesh on a thread of its own, which notes its interrupt status when the call returns. */
    private static final class BackgroundLoad {
        final Outcome<Mesh> outcome = new Outcome<>();
        final Thread thread;
        final CountDownLatch returned = new CountDownLatch(1);
        volatile boolean interruptedAfter;

        BackgroundLoad(String baseUrl) {
            thread = new Thread(() -> {
                try {
                    TarnwickServerConnectionHelper.loadRemoteMesh(baseUrl, "m", outcome);
                } finally {
                    interruptedAfter = Thread.interrupted();
                    returned.countDown();
                }
            }, "background-load");
            thread.setDaemon(true);
            thread.start();
        }

        /** The only completion, once the call has returned; fails after 10 s. */
        Outcome.Call<Mesh> awaitReturn() throws InterruptedException {
            assertTrue(returned.await(Timeouts.seconds(10), TimeUnit.SECONDS),
                    "loadRemoteMesh did not return within 10 s (scaled)");
            return outcome.only();
        }
    }

    private static boolean bodyReadIsInterruptible() {
        return Runtime.version().feature() >= 20;
    }

    @Test
    void interruptWhileWaitingForTheHeadFailsTheCompletionAndKeepsTheStatus() throws Exception {
        CountDownLatch requested = new CountDownLatch(1);
        CountDownLatch interrupted = new CountDownLatch(1);
        try (RawServer raw = new RawServer(socket -> {
            RawServer.readHead(socket.getInputStream());
            requested.countDown();
            // No answer: the connection is held until well after the
            // interrupt, however long the machine takes to get there.
            RawServer.clientClosesWithin(socket, interrupted, 20_000);
        })) {
            BackgroundLoad load = new BackgroundLoad(raw.baseUrl());
            assertTrue(requested.await(Timeouts.seconds(10), TimeUnit.SECONDS));
            load.thread.interrupt();
            interrupted.countDown();
            Outcome.Call<Mesh> call = load.awaitReturn();
            assertNull(call.result);
            assertTrue(call.failure instanceof InterruptedException, () -> "got " + call.failure);
            assertTrue(load.interruptedAfter, "interrupt status was lost");
        }
    }

    @Test
    void interruptWhileReadingTheBodyFollowsTheJdk() throws Exception {
        WatchingClient client = new WatchingClient(HttpClient.newHttpClient());
        TarnwickServerConnectionHelper.HTTP_CLIENT = client;
        CountDownLatch serverMayClose = new CountDownLatch(1);
        // The close is timed from the completion, as the documentation times
        // it (8 s; a newer JDK closes when its selector next wakes up), never
        // from the head, which the machine may take its time to get past.
        CountDownLatch completed = new CountDownLatch(1);
        CompletableFuture<Boolean> clientClosed = new CompletableFuture<>();
        try (RawServer raw = new RawServer(socket -> {
            RawServer.readHead(socket.getInputStream());
            RawServer.sendHead(socket, 1000, new byte[10]);  // then nothing
            if (bodyReadIsInterruptible()) {
                clientClosed.complete(RawServer.clientClosesWithin(socket, completed, 8_000));
            } else {
                serverMayClose.await(Timeouts.seconds(10), TimeUnit.SECONDS);
            }
        })) {
            BackgroundLoad load = new BackgroundLoad(raw.baseUrl());
            assertTrue(client.reading.await(Timeouts.seconds(10), TimeUnit.SECONDS), "the body was never read");
            load.thread.interrupt();
            if (bodyReadIsInterruptible()) {
                // The JDK's body stream gives up on an interrupt, keeps the
                // status, and the library closes the stream.
                Outcome.Call<Mesh> call = load.awaitReturn();
                completed.countDown();
                assertTrue(call.failure instanceof IOException, () -> "got " + call.failure);
                assertTrue(call.failure.getCause() instanceof InterruptedException, () -> "got " + call.failure);
                assertTrue(load.interruptedAfter, "interrupt status was lost");
                assertTrue(client.closed.get(), "the body stream was left open");
                // Read before the server is closed: its own close would look
                // like the client's.
                assertTrue(clientClosed.get(Timeouts.seconds(30), TimeUnit.SECONDS),
                        "the server did not see the connection closed within 8 s of the completion");
            } else {
                // Before Java 20 the body stream ignores the interrupt
                // (JDK-8294047): the call ends only when the server does.
                serverMayClose.countDown();
                Outcome.Call<Mesh> call = load.awaitReturn();
                assertTrue(call.failure instanceof IOException, () -> "got " + call.failure);
            }
        }
    }

    @Test
    void aServerThatStallsIsWaitedForInBothPhases() throws Exception {
        byte[] file = Models.seal(utf8("{\"slow\":true}"));
        CountDownLatch headMayGo = new CountDownLatch(1);
        CountDownLatch restMayGo = new CountDownLatch(1);
        WatchingClient client = new WatchingClient(HttpClient.newHttpClient());
        TarnwickServerConnectionHelper.HTTP_CLIENT = client;
        try (RawServer raw = new RawServer(socket -> {
            RawServer.readHead(socket.getInputStream());
            headMayGo.await(Timeouts.seconds(10), TimeUnit.SECONDS);
            RawServer.sendHead(socket, file.length, Arrays.copyOf(file, 5));
            restMayGo.await(Timeouts.seconds(10), TimeUnit.SECONDS);
            socket.getOutputStream().write(file, 5, file.length - 5);
            RawServer.clientClosesWithin(socket, 10_000);
        })) {
            BackgroundLoad load = new BackgroundLoad(raw.baseUrl());
            // Nobody interrupts and nothing times out: the call is still
            // there when the server answers, half a second later in each phase.
            assertFalse(load.returned.await(500, TimeUnit.MILLISECONDS), "returned before the head");
            headMayGo.countDown();
            assertTrue(client.reading.await(Timeouts.seconds(10), TimeUnit.SECONDS), "the body was never read");
            // Meanwhile a load from another server, on this thread, is not held up.
            files.put("/models/other.enc", Models.seal(utf8("{\"other\":true}")));
            assertArrayEquals(utf8("{\"other\":true}"), loadText("other"));
            assertFalse(load.returned.await(500, TimeUnit.MILLISECONDS), "returned before the whole body");
            restMayGo.countDown();
            Outcome.Call<Mesh> call = load.awaitReturn();
            assertNull(call.failure, () -> "unexpected failure " + call.failure);
            assertEquals("{\"slow\":true}", call.result.text());
        }
    }

    @Test
    void nullArgumentsAndClientAreRejected() throws Exception {
        Outcome<Mesh> outcome = new Outcome<>();
        String base = server.baseUrl();
        assertEquals("baseUrl is null", assertThrows(NullPointerException.class,
                () -> TarnwickServerConnectionHelper.loadRemoteMesh(null, "m", outcome)).getMessage());
        assertEquals("modelName is null", assertThrows(NullPointerException.class,
                () -> TarnwickServerConnectionHelper.loadRemoteMesh(base, null, outcome)).getMessage());
        assertEquals("completion is null", assertThrows(NullPointerException.class,
                () -> TarnwickServerConnectionHelper.loadRemoteMesh(base, "m", null)).getMessage());
        TarnwickServerConnectionHelper.HTTP_CLIENT = null;
        assertEquals("HTTP_CLIENT is null", assertThrows(NullPointerException.class,
                () -> TarnwickServerConnectionHelper.loadRemoteMesh(base, "m", outcome)).getMessage());
        assertEquals(0, outcome.count());
        server.expectNoRequest(200);
    }

    @Test
    void badAddressFailsTheCompletion() throws Exception {
        Outcome<Mesh> outcome = new Outcome<>();
        TarnwickServerConnectionHelper.loadRemoteMesh("http://bad host", "m", outcome);
        assertTrue(outcome.only().failure instanceof IllegalArgumentException);
    }

    /**
     * A client whose responses hand out a body stream that records how it was
     * used; after {@code failAfter} bytes its reads throw, and with
     * {@code closeFails} its close throws (after closing).
     */
    private static final class WatchingClient extends DelegatingClient {
        final AtomicBoolean reachedEnd = new AtomicBoolean();
        final AtomicBoolean closed = new AtomicBoolean();
        final CountDownLatch reading = new CountDownLatch(1);
        final IOException readFailure = new IOException("read failed");
        final IOException closeFailure = new IOException("close failed");
        long failAfter = Long.MAX_VALUE;
        boolean closeFails;

        WatchingClient(HttpClient delegate) {
            super(delegate);
        }

        @Override
        @SuppressWarnings("unchecked")
        public <T> HttpResponse<T> send(HttpRequest request, HttpResponse.BodyHandler<T> handler)
                throws IOException, InterruptedException {
            HttpResponse<T> response = delegate.send(request, handler);
            InputStream watched = new FilterInputStream((InputStream) response.body()) {
                private long delivered;

                @Override
                public int read(byte[] b, int off, int len) throws IOException {
                    reading.countDown();
                    if (delivered >= failAfter) {
                        throw readFailure;
                    }
                    int n = super.read(b, off, (int) Math.min(len, failAfter - delivered));
                    if (n < 0) {
                        reachedEnd.set(true);
                    } else {
                        delivered += n;
                    }
                    return n;
                }

                @Override
                public int read() throws IOException {
                    byte[] one = new byte[1];
                    return read(one, 0, 1) < 0 ? -1 : one[0] & 0xff;
                }

                @Override
                public void close() throws IOException {
                    closed.set(true);
                    super.close();
                    if (closeFails) {
                        throw closeFailure;
                    }
                }
            };
            return (HttpResponse<T>) new FixedResponse<>(response, watched);
        }
    }

    /** A response whose body is replaced. */
    private static final class FixedResponse<T> implements HttpResponse<T> {
        private final HttpResponse<?> inner;
        private final T body;

        FixedResponse(HttpResponse<?> inner, T body) {
            this.inner = inner;
            this.body = body;
        }

        @Override public int statusCode() { return inner.statusCode(); }
        @Override public HttpRequest request() { return inner.request(); }
        @Override public Optional<HttpResponse<T>> previousResponse() { return Optional.empty(); }
        @Override public HttpHeaders headers() { return inner.headers(); }
        @Override public T body() { return body; }
        @Override public Optional<SSLSession> sslSession() { return inner.sslSession(); }
        @Override public java.net.URI uri() { return inner.uri(); }
        @Override public HttpClient.Version version() { return inner.version(); }
    }

    @Test
    void bodyReadToItsEndIsLeftOpenAndAFailedOneIsClosedFirst() {
        files.put("/models/m.enc", Models.seal(utf8("{\"a\":1}")));
        WatchingClient whole = new WatchingClient(HttpClient.newHttpClient());
        TarnwickServerConnectionHelper.HTTP_CLIENT = whole;
        assertEquals("{\"a\":1}", new String(loadText("m"), StandardCharsets.UTF_8));
        assertTrue(whole.reachedEnd.get());
        assertFalse(whole.closed.get());

        // A read that fails: the stream is closed before the completion runs,
        // and a failed close rides along as suppressed.
        for (boolean closeFails : new boolean[] {false, true}) {
            WatchingClient failing = new WatchingClient(HttpClient.newHttpClient());
            failing.failAfter = 7;
            failing.closeFails = closeFails;
            TarnwickServerConnectionHelper.HTTP_CLIENT = failing;
            AtomicBoolean closedFirst = new AtomicBoolean();
            Outcome<Mesh> outcome = new Outcome<>();
            TarnwickServerConnectionHelper.loadRemoteMesh(server.baseUrl(), "m", (mesh, failure) -> {
                closedFirst.set(failing.closed.get());
                outcome.accept(mesh, failure);
            });
            Outcome.Call<Mesh> call = outcome.only();
            assertSame(failing.readFailure, call.failure);
            assertTrue(closedFirst.get(), "the stream was not closed before the completion");
            assertArrayEquals(closeFails ? new Throwable[] {failing.closeFailure} : new Throwable[0],
                    call.failure.getSuppressed());
        }
    }

    @Test
    void failedReadOfAnOverlongBodyReleasesTheConnection() throws Exception {
        // A declared 3 GiB body makes readAllBytes give up at 2 GiB. The heap
        // must hold those 2 GiB, so this runs in a child JVM of its own.
        ChildJvm.Result result = ChildJvm.run(List.of("-Xmx3g"), Map.of(),
                System.getProperty("tarnwick.library"), 180, "failedRead");
        System.out.print(result.stdout);
        assertTrue(result.stdout.startsWith(
                "completion failure: java.lang.OutOfMemoryError: Required array size too large\n"),
                result.stdout);
        Matcher closed = Pattern.compile("connection closed (-?\\d+) ms after the completion").matcher(result.stdout);
        assertTrue(closed.find(), result.stdout);
        assertTrue(Long.parseLong(closed.group(1)) < Timeouts.millis(8_000), result.stdout);
    }

    @Test
    void manyThreadsLoadAtOnce() throws Exception {
        int models = 8;
        for (int i = 0; i < models; i++) {
            byte[] text = utf8(("{\"model\":" + i + ",\"pad\":\"").repeat(1 + i * 50) + "\"}");
            files.put("/models/c" + i + ".enc", Models.seal(text));
        }
        ExecutorService pool = Executors.newFixedThreadPool(8);
        try {
            List<Future<?>> results = new ArrayList<>();
            for (int round = 0; round < 64; round++) {
                int i = round % models;
                results.add(pool.submit(() -> {
                    byte[] expected = utf8(("{\"model\":" + i + ",\"pad\":\"").repeat(1 + i * 50) + "\"}");
                    assertArrayEquals(expected, loadText("c" + i));
                    return null;
                }));
            }
            for (Future<?> result : results) {
                result.get();
            }
        } finally {
            pool.shutdownNow();
        }
    }

    @Test
    void onlyABadlyPaddedFilePrintsALineAndLosesItsLastBlock() throws Exception {
        byte[] blocks = Models.concat(
                Models.block('f', 'i', 'r', 's', 't', '-', 'b', 'l', 'o', 'c', 'k', '-', 'o', 'k', '!', '!'),
                Models.block('l', 'o', 's', 't', 0x81));
        files.put("/models/bad.enc", Models.encryptBlocks(blocks));
        // Well-formed files with the padding at every offset in a block.
        List<String> names = new ArrayList<>();
        StringBuilder expected = new StringBuilder();
        for (int length = 1; length <= 33; length++) {
            String text = "x".repeat(length);
            files.put("/models/len" + length + ".enc", Models.seal(utf8(text)));
            names.add("len" + length);
            expected.append("loaded ").append(text).append('\n');
        }
        names.add(17, "bad");
        // The Windows DLL writes the line through the C runtime's standard
        // output, in text mode: it ends in CR LF there.
        String lineBreak = Boolean.getBoolean("tarnwick.windowsDll") ? "\r\n" : "\n";
        expected.insert(expected.indexOf("loaded " + "x".repeat(18) + "\n"),
                "Padding error: 0x80 not found." + lineBreak + "loaded first-block-ok!!\n");

        // The line goes to the process's standard output, so the loads run in
        // a child JVM whose output is read here.
        ChildJvm.Result result = ChildJvm.load(server.baseUrl(), names.toArray(new String[0]));
        assertEquals(expected.toString(), result.stdout);
    }

    @Test
    void aLoaderOfAnotherShapeIsNamedWithTheMemberItLacks() throws Exception {
        // A mod whose loader differs from what the library binds to: the
        // NoSuchMethodError that reaches the completion names the class, the
        // member and the descriptor wanted. The wrong loader is compiled here
        // and put ahead of the stand-in (on the boot class path, which the
        // application class loader asks first) in a child JVM.
        files.put("/models/m.enc", Models.seal(utf8("{}")));
        String loader = "vardel/tarnwick/api/asset/JsonAssetLoader.";
        String[][] cases = {
            {"(java.io.InputStream stream, String location) {}\n"
                    + "public vardel.tarnwick.api.client.model.Mesh loadMesh(boolean flag) { return null; }",
                loader + "<init>(Ljava/io/InputStream;Lnet/minecraft/resources/ResourceLocation;)V"},
            {"(java.io.InputStream stream, net.minecraft.resources.ResourceLocation location) {}\n"
                    + "public Object loadMesh(boolean flag) { return null; }",
                loader + "loadMesh(Z)Lvardel/tarnwick/api/client/model/Mesh;"},
        };
        for (String[] c : cases) {
            Path dir = Files.createTempDirectory("tarnwick-wrong-loader");
            Path source = dir.resolve("src/vardel/tarnwick/api/asset/JsonAssetLoader.java");
            Files.createDirectories(source.getParent());
            Files.writeString(source, "package vardel.tarnwick.api.asset;\n"
                    + "public final class JsonAssetLoader {\npublic JsonAssetLoader" + c[0] + "\n}\n");
            Path classes = dir.resolve("classes");
            assertEquals(0, ToolProvider.getSystemJavaCompiler().run(null, null, null, "-cp",
                    System.getProperty("tarnwick.classpath"), "-d", classes.toString(), source.toString()));
            ChildJvm.Result result = ChildJvm.run(List.of("-Xshare:off", "-Xbootclasspath/a:" + classes),
                    Map.of(), System.getProperty("tarnwick.library"), 60, "load", server.baseUrl(), "m");
            assertEquals("failed java.lang.NoSuchMethodError: " + c[1] + "\n", result.stdout);
        }
    }
}

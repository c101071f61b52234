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
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Map;
import java.util.Optional;
import java.util.Random;
import java.util.concurrent.ConcurrentHashMap;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;
import java.util.concurrent.atomic.AtomicBoolean;
import java.util.function.BiConsumer;
import javax.net.ssl.SSLSession;
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
    }

    @Test
    void loaderOutcomesReachTheCompletion() {
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

    @Test
    void interruptedSendFailsTheCompletionAndKeepsTheInterrupt() {
        files.put("/models/m.enc", Models.seal(utf8("{}")));
        Thread.currentThread().interrupt();
        Outcome.Call<Mesh> call;
        try {
            call = load("m");
        } finally {
            assertTrue(Thread.interrupted(), "interrupt status was lost");
        }
        assertNull(call.result);
        assertTrue(call.failure instanceof InterruptedException, () -> "got " + call.failure);
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

    /** A client whose responses hand out a body stream that records how it was used. */
    private static final class WatchingClient extends DelegatingClient {
        final AtomicBoolean reachedEnd = new AtomicBoolean();
        final AtomicBoolean closed = new AtomicBoolean();

        WatchingClient(HttpClient delegate) {
            super(delegate);
        }

        @Override
        @SuppressWarnings("unchecked")
        public <T> HttpResponse<T> send(HttpRequest request, HttpResponse.BodyHandler<T> handler)
                throws IOException, InterruptedException {
            HttpResponse<T> response = delegate.send(request, handler);
            InputStream watched = new FilterInputStream((InputStream) response.body()) {
                @Override
                public int read(byte[] b, int off, int len) throws IOException {
                    int n = super.read(b, off, len);
                    if (n < 0) {
                        reachedEnd.set(true);
                    }
                    return n;
                }

                @Override
                public int read() throws IOException {
                    int n = super.read();
                    if (n < 0) {
                        reachedEnd.set(true);
                    }
                    return n;
                }

                @Override
                public void close() throws IOException {
                    closed.set(true);
                    super.close();
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
    void bodyStreamIsReadToItsEndAndLeftOpen() {
        files.put("/models/m.enc", Models.seal(utf8("{\"a\":1}")));
        WatchingClient client = new WatchingClient(HttpClient.newHttpClient());
        TarnwickServerConnectionHelper.HTTP_CLIENT = client;
        assertEquals("{\"a\":1}", new String(loadText("m"), StandardCharsets.UTF_8));
        assertTrue(client.reachedEnd.get());
        assertFalse(client.closed.get());
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
    void badPaddingPrintsOneLineAndDropsTheLastBlock() throws Exception {
        byte[] blocks = Models.concat(
                Models.block('f', 'i', 'r', 's', 't', '-', 'b', 'l', 'o', 'c', 'k', '-', 'o', 'k', '!', '!'),
                Models.block('l', 'o', 's', 't', 0x81));
        files.put("/models/bad.enc", Models.encryptBlocks(blocks));
        files.put("/models/good.enc", Models.seal(utf8("fine")));

        // The line goes to the process's standard output, so the load runs in a
        // child JVM whose output is read here.
        ChildJvm.Result bad = ChildJvm.loadOnce(server.baseUrl(), "bad");
        assertEquals("Padding error: 0x80 not found.\nloaded first-block-ok!!\n", bad.stdout);
        ChildJvm.Result good = ChildJvm.loadOnce(server.baseUrl(), "good");
        assertEquals("loaded fine\n", good.stdout);
    }
}

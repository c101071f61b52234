package tarnwick.test;

import com.sun.net.httpserver.Headers;
import com.sun.net.httpserver.HttpExchange;
import com.sun.net.httpserver.HttpServer;
import java.io.IOException;
import java.io.OutputStream;
import java.net.InetAddress;
import java.net.InetSocketAddress;
import java.nio.charset.StandardCharsets;
import java.util.Map;
import java.util.TreeMap;
import java.util.concurrent.BlockingQueue;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.LinkedBlockingQueue;
import java.util.concurrent.ThreadFactory;
import java.util.concurrent.TimeUnit;

/**
 * A loopback HTTP server that records every request exactly as it arrived
 * (method, raw path, raw query, headers, body bytes) and answers through a
 * replaceable responder.
 */
public final class RecordingServer implements AutoCloseable {
    /** One request as the server received it. */
    public static final class Request {
        public final String method;
        public final String rawPath;
        public final String rawQuery;
        /** The request target exactly as it stood in the request line. */
        public final String rawTarget;
        public final Map<String, java.util.List<String>> headers;
        public final byte[] body;

        Request(HttpExchange exchange, byte[] body) {
            this.method = exchange.getRequestMethod();
            this.rawPath = exchange.getRequestURI().getRawPath();
            this.rawQuery = exchange.getRequestURI().getRawQuery();
            this.rawTarget = exchange.getRequestURI().toString();
            this.headers = new TreeMap<>(String.CASE_INSENSITIVE_ORDER);
            this.headers.putAll(exchange.getRequestHeaders());
            this.body = body;
        }

        /** Path and query exactly as sent. */
        public String target() {
            return rawTarget;
        }

        public String bodyText() {
            return new String(body, StandardCharsets.UTF_8);
        }
    }

    /** Answers one exchange; the request is already recorded. */
    public interface Responder {
        void respond(HttpExchange exchange, Request request) throws IOException;
    }

    private final HttpServer server;
    private final ExecutorService executor;
    private final BlockingQueue<Request> requests = new LinkedBlockingQueue<>();
    private volatile Responder responder = (exchange, request) -> reply(exchange, 200, "ok");

    /** A server that records every request, on as many threads as it needs. */
    public RecordingServer() throws IOException {
        this(0, true);
    }

    /**
     * A server on a fixed number of threads (0: as many as it needs) that
     * records the requests only if asked: the benchmarks serve many thousands.
     */
    public RecordingServer(int threads, boolean record) throws IOException {
        ThreadFactory daemons = runnable -> {
            Thread thread = new Thread(runnable, "recording-server");
            thread.setDaemon(true);
            return thread;
        };
        executor = threads > 0 ? Executors.newFixedThreadPool(threads, daemons)
                               : Executors.newCachedThreadPool(daemons);
        server = HttpServer.create(new InetSocketAddress(InetAddress.getLoopbackAddress(), 0), 0);
        server.createContext("/", exchange -> {
            try {
                Request request = new Request(exchange, exchange.getRequestBody().readAllBytes());
                if (record) {
                    requests.add(request);
                }
                responder.respond(exchange, request);
            } finally {
                exchange.close();
            }
        });
        server.setExecutor(executor);
        server.start();
    }

    public String baseUrl() {
        return "http://127.0.0.1:" + server.getAddress().getPort();
    }

    public void respondWith(Responder responder) {
        this.responder = responder;
    }

    /** The next recorded request; fails if none arrives within ten seconds. */
    public Request take() throws InterruptedException {
        Request request = requests.poll(Timeouts.seconds(10), TimeUnit.SECONDS);
        if (request == null) {
            throw new AssertionError("the server received no request");
        }
        return request;
    }

    /** Fails if a request arrives within the given time. */
    public void expectNoRequest(long millis) throws InterruptedException {
        Request request = requests.poll(millis, TimeUnit.MILLISECONDS);
        if (request != null) {
            throw new AssertionError("unexpected request " + request.method + " " + request.target());
        }
    }

    public static void reply(HttpExchange exchange, int status, String body) throws IOException {
        reply(exchange, status, body.getBytes(StandardCharsets.UTF_8));
    }

    public static void reply(HttpExchange exchange, int status, byte[] body) throws IOException {
        Headers headers = exchange.getResponseHeaders();
        headers.set("Content-Type", "text/plain; charset=utf-8");
        // 204 and 304 carry no body; -1 tells the server there is none.
        boolean noBody = status == 204 || status == 304 || body.length == 0;
        exchange.sendResponseHeaders(status, noBody ? -1 : body.length);
        if (!noBody) {
            // In pieces: one large write makes the JDK's server copy the whole
            // body into a temporary native buffer, which the benchmark's
            // memory figure would count.
            try (OutputStream out = exchange.getResponseBody()) {
                for (int at = 0; at < body.length; at += 64 * 1024) {
                    out.write(body, at, Math.min(64 * 1024, body.length - at));
                }
            }
        }
    }

    @Override
    public void close() {
        server.stop(0);
        executor.shutdownNow();
    }
}

package tarnwick.demo;

import com.sun.net.httpserver.HttpExchange;
import com.sun.net.httpserver.HttpServer;
import java.io.IOException;
import java.io.OutputStream;
import java.net.InetAddress;
import java.net.InetSocketAddress;
import java.net.URLDecoder;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.HashMap;
import java.util.Map;
import java.util.concurrent.BlockingQueue;
import java.util.concurrent.ConcurrentHashMap;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.LinkedBlockingQueue;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicInteger;
import java.util.regex.Matcher;
import java.util.regex.Pattern;

/**
 * A stand-in for the account and cosmetics service on loopback. It answers
 * every endpoint the library calls, keeps a little state (sign-in codes,
 * sessions, saved configurations) so the calls make sense together, serves
 * the sealed model files from a directory, and records each request as it
 * arrived.
 */
final class StandInService implements AutoCloseable {
    /** One request as the service received it. */
    static final class Request {
        final String method;
        final String target;
        final String contentType;
        final String body;

        Request(String method, String target, String contentType, String body) {
            this.method = method;
            this.target = target;
            this.contentType = contentType;
            this.body = body;
        }
    }

    /** One answer: status, content type and body. */
    private static final class Answer {
        final int status;
        final String contentType;
        final byte[] body;

        Answer(int status, String contentType, byte[] body) {
            this.status = status;
            this.contentType = contentType;
            this.body = body;
        }

        static Answer json(int status, String json) {
            return new Answer(status, "application/json", json.getBytes(StandardCharsets.UTF_8));
        }

        static Answer text(int status, String text) {
            return new Answer(status, "text/plain; charset=utf-8",
                    text.getBytes(StandardCharsets.UTF_8));
        }
    }

    /** A signed-in player's tokens. */
    private static final class Session {
        final String accessToken;
        final String refreshToken;
        final String provider;

        Session(String accessToken, String refreshToken, String provider) {
            this.accessToken = accessToken;
            this.refreshToken = refreshToken;
            this.provider = provider;
        }
    }

    static final String PROVIDER = "tarnwick";
    private static final Pattern UUID_FIELD = Pattern.compile("\"mc_uuid\"\\s*:\\s*\"([^\"]*)\"");

    private final Path models;
    private final HttpServer server;
    private final ExecutorService executor = Executors.newCachedThreadPool(runnable -> {
        Thread thread = new Thread(runnable, "stand-in-service");
        thread.setDaemon(true);
        return thread;
    });
    private final BlockingQueue<Request> requests = new LinkedBlockingQueue<>();
    /** Sign-in codes handed out, by player. */
    private final Map<String, String> codes = new ConcurrentHashMap<>();
    private final Map<String, Session> sessions = new ConcurrentHashMap<>();
    private final Map<String, String> configurations = new ConcurrentHashMap<>();
    private final AtomicInteger issued = new AtomicInteger();

    StandInService(Path models) throws IOException {
        this.models = models.toAbsolutePath().normalize();
        server = HttpServer.create(new InetSocketAddress(InetAddress.getLoopbackAddress(), 0), 0);
        server.createContext("/", this::handle);
        server.setExecutor(executor);
        server.start();
    }

    String baseUrl() {
        return "http://127.0.0.1:" + server.getAddress().getPort();
    }

    /** Hands out a sign-in code, as the website would show the player. */
    void issueCode(String uuid, String code) {
        codes.put(uuid, code);
    }

    /** The next request received, or null if none arrives within the timeout. */
    Request take(long seconds) throws InterruptedException {
        return requests.poll(seconds, TimeUnit.SECONDS);
    }

    private void handle(HttpExchange exchange) throws IOException {
        try {
            String method = exchange.getRequestMethod();
            String path = exchange.getRequestURI().getRawPath();
            String rawQuery = exchange.getRequestURI().getRawQuery();
            String body = new String(exchange.getRequestBody().readAllBytes(),
                    StandardCharsets.UTF_8);
            Request request = new Request(method, rawQuery == null ? path : path + "?" + rawQuery,
                    exchange.getRequestHeaders().getFirst("Content-Type"), body);
            requests.add(request);

            Answer answer = answer(method, path, query(rawQuery), request);
            exchange.getResponseHeaders().set("Content-Type", answer.contentType);
            int length = answer.body.length;
            exchange.sendResponseHeaders(answer.status, length == 0 ? -1 : length);
            if (answer.body.length > 0) {
                try (OutputStream out = exchange.getResponseBody()) {
                    out.write(answer.body);
                }
            }
        } finally {
            exchange.close();
        }
    }

    private Answer answer(String method, String path, Map<String, String> query, Request request)
            throws IOException {
        if (path.startsWith("/models/") && path.endsWith(".enc") && method.equals("GET")) {
            return model(path.substring("/models/".length(), path.length() - ".enc".length()));
        }
        switch (method + " " + path) {
            case "GET /login_code":
                return signIn(query.get("mc_uuid"), query.get("code"));
            case "GET /auto_login":
                return sessionValid(query, "mc_uuid")
                        ? Answer.json(200,
                                "{\"status\":\"ok\",\"player\":\"" + query.get("mc_uuid") + "\"}")
                        : Answer.json(401, "{\"error\":\"no such session\"}");
            case "GET /logout":
                if (!sessionValid(query, "mc_uuid")) {
                    return Answer.json(401, "{\"error\":\"no such session\"}");
                }
                sessions.remove(query.get("mc_uuid"));
                return Answer.json(200, "{\"status\":\"signed out\"}");
            case "GET /member/cosmetics":
                return sessionValid(query, "minecraft_uuid")
                        ? Answer.json(200, "{\"cosmetics\":[\"top_hat\",\"cosmetics/wings\"]}")
                        : Answer.json(401, "{\"error\":\"no such session\"}");
            case "POST /member/update_cosmetic":
                return saveConfiguration(request);
            case "GET /cosmetic/user_cosmetic": {
                String saved = configurations.get(String.valueOf(query.get("mc_uuid")));
                return saved == null ? Answer.json(404, "{\"error\":\"nothing saved\"}")
                                     : Answer.json(200, saved);
            }
            default:
                return Answer.text(404, "no such endpoint");
        }
    }

    private Answer signIn(String uuid, String code) {
        if (uuid == null || code == null || !code.equals(codes.get(uuid))) {
            return Answer.json(401, "{\"error\":\"wrong code\"}");
        }
        codes.remove(uuid);
        int n = issued.incrementAndGet();
        Session session = new Session("at-" + n + "e1d", "rt-" + n + "b7c", PROVIDER);
        sessions.put(uuid, session);
        return Answer.json(200, "{\"access_token\":\"" + session.accessToken
                + "\",\"refresh_token\":\"" + session.refreshToken
                + "\",\"provider\":\"" + session.provider + "\"}");
    }

    private boolean sessionValid(Map<String, String> query, String uuidParameter) {
        Session session = sessions.get(String.valueOf(query.get(uuidParameter)));
        return session != null && session.accessToken.equals(query.get("access_token"))
                && session.refreshToken.equals(query.get("refresh_token"))
                && session.provider.equals(query.get("provider"));
    }

    private Answer saveConfiguration(Request request) {
        if (request.contentType == null || !request.contentType.startsWith("application/json")) {
            return Answer.json(415, "{\"error\":\"expected application/json\"}");
        }
        Matcher uuid = UUID_FIELD.matcher(request.body);
        if (!uuid.find()) {
            return Answer.json(400, "{\"error\":\"no mc_uuid\"}");
        }
        configurations.put(uuid.group(1), request.body);
        return Answer.json(200, "{\"saved\":true}");
    }

    private Answer model(String name) throws IOException {
        Path file = models.resolve(name + ".enc").normalize();
        if (name.contains("..") || !file.startsWith(models) || !Files.isRegularFile(file)) {
            return Answer.text(404, "no model named " + name);
        }
        return new Answer(200, "application/octet-stream", Files.readAllBytes(file));
    }

    private static Map<String, String> query(String raw) {
        Map<String, String> parameters = new HashMap<>();
        if (raw == null) {
            return parameters;
        }
        for (String pair : raw.split("&")) {
            int equals = pair.indexOf('=');
            if (equals > 0) {
                parameters.put(URLDecoder.decode(pair.substring(0, equals), StandardCharsets.UTF_8),
                        URLDecoder.decode(pair.substring(equals + 1), StandardCharsets.UTF_8));
            }
        }
        return parameters;
    }

    @Override
    public void close() {
        server.stop(0);
        executor.shutdownNow();
    }
}

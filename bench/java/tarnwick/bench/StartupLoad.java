package tarnwick.bench;

import java.io.IOException;
import java.net.Authenticator;
import java.net.CookieHandler;
import java.net.ProxySelector;
import java.net.http.HttpClient;
import java.net.http.HttpRequest;
import java.net.http.HttpResponse;
import java.nio.file.Path;
import java.time.Duration;
import java.util.Optional;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.Executor;
import javax.net.ssl.SSLContext;
import javax.net.ssl.SSLParameters;
import vardel.tarnwick.api.client.online.TarnwickServerConnectionHelper;

/**
 * One start of the mod, for bench/run_startup.sh: sets the helper's
 * {@code HTTP_CLIENT} and calls {@code loadNatives(gameDirectory)} on the
 * shipped example class, in a JVM that has done nothing else, and prints the
 * time from the first touch of the helper class (its loading and static set-up
 * included) to the return.
 *
 * <p>The client is made before the clock starts and is an idle one of this
 * class's own, so neither a real client's start-up nor its threads are counted
 * or running meanwhile: a mod that sets its own client does the same.
 *
 * <p>Usage: StartupLoad GAME_DIRECTORY; prints "startup-probe: begin" and
 * "startup-probe: end" around the call (for counting the classes loaded
 * between them with -Xlog:class+load), then "loadNatives MS CPU_MS" (the wall clock, and the
 * time this thread spent on a CPU) and exits 0 when
 * the library is loaded, 1 when it is not.
 */
public final class StartupLoad {
    private StartupLoad() {}

    public static void main(String[] args) {
        Path gameDirectory = Path.of(args[0]);
        HttpClient client = new IdleClient();
        Game.logOnceWhenAsked();
        System.out.println("startup-probe: begin");
        long cpuStart = Game.threadCpuNanos();
        long start = System.nanoTime();
        TarnwickServerConnectionHelper.HTTP_CLIENT = client;
        boolean loaded = TarnwickServerConnectionHelper.loadNatives(gameDirectory);
        long end = System.nanoTime();
        long cpuEnd = Game.threadCpuNanos();
        System.out.println("startup-probe: end");
        System.out.println(Game.times("loadNatives", end - start, cpuEnd - cpuStart));
        if (!loaded || TarnwickServerConnectionHelper.HTTP_CLIENT != client) {
            System.out.println("loadNatives did not load the library, or replaced the client");
            System.exit(1);
        }
    }

    /** A client that sends nothing and starts no thread. */
    static final class IdleClient extends HttpClient {
        @Override
        public Optional<CookieHandler> cookieHandler() {
            return Optional.empty();
        }

        @Override
        public Optional<Duration> connectTimeout() {
            return Optional.empty();
        }

        @Override
        public Redirect followRedirects() {
            return Redirect.NEVER;
        }

        @Override
        public Optional<ProxySelector> proxy() {
            return Optional.empty();
        }

        @Override
        public SSLContext sslContext() {
            throw new UnsupportedOperationException("the benchmark's client sends nothing");
        }

        @Override
        public SSLParameters sslParameters() {
            throw new UnsupportedOperationException("the benchmark's client sends nothing");
        }

        @Override
        public Optional<Authenticator> authenticator() {
            return Optional.empty();
        }

        @Override
        public Version version() {
            return Version.HTTP_1_1;
        }

        @Override
        public Optional<Executor> executor() {
            return Optional.empty();
        }

        @Override
        public <T> HttpResponse<T> send(HttpRequest request, HttpResponse.BodyHandler<T> handler)
                throws IOException {
            throw new IOException("the benchmark's client sends nothing");
        }

        @Override
        public <T> CompletableFuture<HttpResponse<T>> sendAsync(HttpRequest request,
                HttpResponse.BodyHandler<T> handler) {
            return CompletableFuture.failedFuture(
                    new IOException("the benchmark's client sends nothing"));
        }

        @Override
        public <T> CompletableFuture<HttpResponse<T>> sendAsync(HttpRequest request,
                HttpResponse.BodyHandler<T> handler,
                HttpResponse.PushPromiseHandler<T> pushPromiseHandler) {
            return sendAsync(request, handler);
        }
    }
}

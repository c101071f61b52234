package vardel.tarnwick.api.client.online;

import java.io.IOException;
import java.io.UncheckedIOException;
import java.net.http.HttpClient;
import java.net.http.HttpResponse;
import java.nio.file.Path;
import java.util.function.BiConsumer;
import tarnwick.natives.NativeLibraryExtractor;
import vardel.tarnwick.api.client.model.Mesh;

/**
 * Stand-in for the modification's class that declares the native methods,
 * for the tests. It owns the HTTP client every call goes through. The library
 * is loaded from the path in the system property {@code tarnwick.library} when
 * it is set; else, unless {@code tarnwick.gameDir} is set, by name from
 * {@code java.library.path}. With {@code tarnwick.gameDir}, the caller loads it
 * through {@link #loadNatives(Path)}, as the shipped example
 * ({@code java/example}) does it for a mod.
 */
public final class TarnwickServerConnectionHelper {
    /** Read by the library on every call; tests may replace it. */
    public static HttpClient HTTP_CLIENT = HttpClient.newHttpClient();

    static {
        String path = System.getProperty("tarnwick.library");
        if (path != null && !path.isEmpty()) {
            System.load(path);
        } else if (System.getProperty("tarnwick.gameDir") == null) {
            System.loadLibrary("tarnwick");
        }
    }

    /** Extracts the library from the natives jar under the directory and loads it. */
    public static boolean loadNatives(Path gameDirectory) {
        Path library;
        try {
            library = NativeLibraryExtractor.extract(gameDirectory);
        } catch (IOException e) {
            throw new UncheckedIOException(e);
        }
        try {
            System.load(library.toString());
        } catch (UnsatisfiedLinkError e) {
            throw NativeLibraryExtractor.explainLoadFailure(e, library);
        }
        return true;
    }

    private TarnwickServerConnectionHelper() {}

    public static native void autoLogin(String baseUrl, String uuid, String accessToken,
            String refreshToken, String provider,
            BiConsumer<HttpResponse<String>, Throwable> completion);

    public static native void signIn(String baseUrl, String uuid, String code,
            BiConsumer<HttpResponse<String>, Throwable> completion);

    public static native void signOut(String baseUrl, String uuid, String accessToken,
            String refreshToken, String provider,
            BiConsumer<HttpResponse<String>, Throwable> completion);

    public static native void getAvailableCosmetics(String baseUrl, String uuid,
            String accessToken, String refreshToken, String provider,
            BiConsumer<HttpResponse<String>, Throwable> completion);

    public static native void saveConfiguration(String baseUrl, String document,
            BiConsumer<HttpResponse<String>, Throwable> completion);

    public static native void getPlayerSkinInfo(String baseUrl, String uuid,
            BiConsumer<HttpResponse<String>, Throwable> completion);

    public static native void loadRemoteMesh(String baseUrl, String name,
            BiConsumer<Mesh, Throwable> completion);
}

package vardel.tarnwick.api.client.online;

import java.net.http.HttpClient;
import java.net.http.HttpResponse;
import java.util.function.BiConsumer;
import vardel.tarnwick.api.client.model.Mesh;

/**
 * Stand-in for the modification's class that declares the native methods.
 * It owns the HTTP client every call goes through. The library is loaded
 * from the path in the system property {@code tarnwick.library} when it is
 * set, otherwise by name from {@code java.library.path}.
 */
public final class TarnwickServerConnectionHelper {
    /** Read by the library on every call; tests may replace it. */
    public static HttpClient HTTP_CLIENT = HttpClient.newHttpClient();

    static {
        String path = System.getProperty("tarnwick.library");
        if (path != null && !path.isEmpty()) {
            System.load(path);
        } else {
            System.loadLibrary("tarnwick");
        }
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

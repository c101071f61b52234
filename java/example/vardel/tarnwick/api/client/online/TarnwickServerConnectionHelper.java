package vardel.tarnwick.api.client.online;

import java.io.IOException;
import java.net.http.HttpClient;
import java.net.http.HttpResponse;
import java.nio.file.Path;
import java.util.function.BiConsumer;
import tarnwick.natives.NativeLibraryExtractor;
import vardel.tarnwick.api.client.model.Mesh;

/**
 * The mod's class whose native methods tarnwick's library implements, with the
 * recommended way to load it: from the natives jar on the mod's class path,
 * extracted under the game directory (or, where that cannot be used safely, the
 * user's cache or a private temporary directory), by this class itself, so that
 * the library belongs to this class's loader.
 *
 * <p>The mod calls {@link #loadNatives(Path)} once at start-up with the game
 * directory its loader names. When it returns false there is no library for this
 * platform, or it could not be put in place or loaded (the reason is logged): the
 * mod then goes on without online cosmetics and calls none of the native
 * methods, each of which would throw {@link UnsatisfiedLinkError}. A mod that
 * can be unloaded (a launcher or development run that reloads mods) calls
 * {@link #close()} when it is, so that nothing keeps its class loader alive.
 */
public final class TarnwickServerConnectionHelper {
    /**
     * Read by the library on every call. {@link #loadNatives(Path)} sets a
     * default client once the library is loaded, when none is set; a mod may
     * set its own before the first call. The client's selector thread keeps
     * this class's loader reachable while the client lives, and this field
     * keeps the client alive: {@link #close()} lets both go.
     */
    public static HttpClient HTTP_CLIENT;

    /** Set up on first use: a start that loads the library logs nothing of its own here. */
    private static final class Log {
        static final System.Logger LOG =
                System.getLogger(TarnwickServerConnectionHelper.class.getName());
    }
    private static volatile boolean loaded;

    private TarnwickServerConnectionHelper() {}

    /**
     * Loads tarnwick's native library once; true when it is loaded. Never
     * throws: a missing or unusable library means no online cosmetics, not a
     * game that cannot start.
     */
    public static synchronized boolean loadNatives(Path gameDirectory) {
        if (loaded) {
            return true;
        }
        if (!NativeLibraryExtractor.isSupported()) {
            Log.LOG.log(System.Logger.Level.INFO, "tarnwick has no native library for "
                    + System.getProperty("os.name") + " on " + System.getProperty("os.arch")
                    + "; online cosmetics are off");
            return false;
        }
        try {
            // System.load from this class, so that the library is this class loader's.
            // A lambda, not the method reference System::load: for a reference to a
            // caller-sensitive method the JVM builds a handle bound to its caller,
            // which makes the start slower.
            NativeLibraryExtractor.load(gameDirectory, library -> System.load(library));
            loaded = true;
        } catch (IOException e) {
            Log.LOG.log(System.Logger.Level.WARNING, "online cosmetics are off", e);
        } catch (IllegalCallerException e) {
            // Java 24 and later with --illegal-native-access=deny.
            Log.LOG.log(System.Logger.Level.WARNING, "online cosmetics are off: this JVM does not"
                    + " let the mod load native code (" + e.getMessage() + "); "
                    + NativeLibraryExtractor.nativeAccessAdvice(
                            TarnwickServerConnectionHelper.class), e);
        } catch (SecurityException e) {
            Log.LOG.log(System.Logger.Level.WARNING, "online cosmetics are off: a security policy"
                    + " forbids loading native libraries (" + e.getMessage() + ")", e);
        } catch (UnsatisfiedLinkError e) {
            Log.LOG.log(System.Logger.Level.WARNING, "online cosmetics are off", e);
        }
        if (loaded && HTTP_CLIENT == null) {
            HTTP_CLIENT = HttpClient.newHttpClient();
        }
        return loaded;
    }

    /**
     * Drops {@link #HTTP_CLIENT}, closing it where the JDK can (Java 21 and
     * later), for a mod that is being unloaded: the client's selector thread
     * then ends and no longer keeps this class's loader, and with it the
     * loaded library, reachable. Calls made after this fail with
     * {@code NullPointerException("HTTP_CLIENT is null")} until a client is set
     * again.
     */
    public static synchronized void close() {
        HttpClient client = HTTP_CLIENT;
        HTTP_CLIENT = null;
        if (client instanceof AutoCloseable) {
            try {
                ((AutoCloseable) client).close();
            } catch (Exception e) {
                Log.LOG.log(System.Logger.Level.DEBUG, "closing the HTTP client failed", e);
            }
        }
    }

    /** Whether {@link #loadNatives(Path)} has loaded the library. */
    public static boolean isLoaded() {
        return loaded;
    }

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

    public static native void loadRemoteMesh(String baseUrl, String modelName,
            BiConsumer<Mesh, Throwable> completion);
}

package vardel.tarnwick.api.asset;

import java.io.IOException;
import java.io.InputStream;
import java.io.UncheckedIOException;
import java.nio.charset.StandardCharsets;
import java.util.function.Function;
import net.minecraft.resources.ResourceLocation;
import vardel.tarnwick.api.client.model.Mesh;

/**
 * Stand-in for the modification's JSON asset loader: it reads the whole
 * stream when constructed and builds a {@link Mesh} holding the text.
 * Like the real loader, the constructor throws for a text it cannot read:
 * here, one that starts with {@link #UNREADABLE}. {@link #meshFactory} lets a
 * test make {@code loadMesh} return null or throw; the last constructor
 * arguments are kept for inspection.
 */
public final class JsonAssetLoader {
    /** A text starting with this makes the constructor throw IllegalArgumentException. */
    public static final String UNREADABLE = "#unreadable";

    public static volatile Function<byte[], Mesh> meshFactory = Mesh::new;
    public static volatile ResourceLocation lastLocation;
    public static volatile boolean lastLocationSeen;

    private final byte[] text;

    public JsonAssetLoader(InputStream stream, ResourceLocation location) {
        lastLocation = location;
        lastLocationSeen = true;
        try {
            this.text = stream.readAllBytes();
        } catch (IOException e) {
            throw new UncheckedIOException(e);
        }
        if (new String(text, StandardCharsets.UTF_8).startsWith(UNREADABLE)) {
            throw new IllegalArgumentException("unreadable model");
        }
    }

    public Mesh loadMesh(boolean flag) {
        if (!flag) {
            throw new IllegalArgumentException("loadMesh expects true");
        }
        return meshFactory.apply(text);
    }
}

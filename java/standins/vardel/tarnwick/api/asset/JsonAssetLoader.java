package vardel.tarnwick.api.asset;

import java.io.IOException;
import java.io.InputStream;
import java.io.UncheckedIOException;
import java.util.function.Function;
import net.minecraft.resources.ResourceLocation;
import vardel.tarnwick.api.client.model.Mesh;

/**
 * Stand-in for the modification's JSON asset loader: it reads the whole
 * stream when constructed and builds a {@link Mesh} holding the text.
 * {@link #meshFactory} lets a test make {@code loadMesh} return null or
 * throw; the last constructor arguments are kept for inspection.
 */
public final class JsonAssetLoader {
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
    }

    public Mesh loadMesh(boolean flag) {
        if (!flag) {
            throw new IllegalArgumentException("loadMesh expects true");
        }
        return meshFactory.apply(text);
    }
}

package vardel.tarnwick.api.client.model;

import java.nio.charset.StandardCharsets;

/** Stand-in for the modification's mesh: it keeps the model text it was built from. */
public final class Mesh {
    private final byte[] source;

    public Mesh(byte[] source) {
        this.source = source.clone();
    }

    public byte[] source() {
        return source.clone();
    }

    public String text() {
        return new String(source, StandardCharsets.UTF_8);
    }

    @Override
    public String toString() {
        return "Mesh(" + source.length + " bytes)";
    }
}

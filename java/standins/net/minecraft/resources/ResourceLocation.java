package net.minecraft.resources;

/** Stand-in for the game's resource location; the library only ever passes null. */
public final class ResourceLocation {
    private final String path;

    public ResourceLocation(String path) {
        this.path = path;
    }

    @Override
    public String toString() {
        return path;
    }
}

package tarnwick.test;

import java.io.ByteArrayOutputStream;
import java.security.GeneralSecurityException;
import java.util.Arrays;
import javax.crypto.Cipher;
import javax.crypto.spec.SecretKeySpec;

/**
 * Makes encrypted model files with the JDK's own AES, independently of the
 * library: AES-128-ECB under the key the library was built with (system
 * property {@code tarnwick.modelKey}, 32 hex digits) or a given one. Used by
 * the tests and the benchmark.
 */
public final class Models {
    private Models() {}

    /** The key the library was built with (system property {@code tarnwick.modelKey}). */
    public static byte[] key() {
        return key(System.getProperty("tarnwick.modelKey"));
    }

    /** A key given as 32 hex digits. */
    public static byte[] key(String hex) {
        if (hex == null || hex.length() != 32) {
            throw new IllegalStateException("a model key must be 32 hex digits, got " + hex);
        }
        byte[] key = new byte[16];
        for (int i = 0; i < 16; i++) {
            key[i] = (byte) Integer.parseInt(hex.substring(2 * i, 2 * i + 2), 16);
        }
        return key;
    }

    /** Encrypts whole 16-byte blocks as they are, with no padding, under the library's key. */
    public static byte[] encryptBlocks(byte[] blocks) {
        return encryptBlocks(key(), blocks);
    }

    /** Encrypts whole 16-byte blocks as they are, with no padding. */
    public static byte[] encryptBlocks(byte[] key, byte[] blocks) {
        if (blocks.length % 16 != 0) {
            throw new IllegalArgumentException("not whole blocks");
        }
        try {
            Cipher cipher = Cipher.getInstance("AES/ECB/NoPadding");
            cipher.init(Cipher.ENCRYPT_MODE, new SecretKeySpec(key, "AES"));
            return cipher.doFinal(blocks);
        } catch (GeneralSecurityException e) {
            throw new IllegalStateException(e);
        }
    }

    /** The text followed by 0x80 and zeros up to a whole block (a full block if it fits exactly). */
    public static byte[] pad(byte[] text) {
        int padded = (text.length / 16 + 1) * 16;
        byte[] out = Arrays.copyOf(text, padded);
        out[text.length] = (byte) 0x80;
        return out;
    }

    /** A model file as the service serves it, under the library's key. */
    public static byte[] seal(byte[] text) {
        return encryptBlocks(pad(text));
    }

    /** A model file as the service serves it, under the given key. */
    public static byte[] seal(byte[] key, byte[] text) {
        return encryptBlocks(key, pad(text));
    }

    /** Concatenates byte arrays. */
    public static byte[] concat(byte[]... parts) {
        ByteArrayOutputStream out = new ByteArrayOutputStream();
        for (byte[] part : parts) {
            out.writeBytes(part);
        }
        return out.toByteArray();
    }

    /** One 16-byte block: the given bytes, then zeros. */
    public static byte[] block(int... bytes) {
        byte[] block = new byte[16];
        for (int i = 0; i < bytes.length; i++) {
            block[i] = (byte) bytes[i];
        }
        return block;
    }
}

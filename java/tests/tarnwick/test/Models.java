package tarnwick.test;

import java.io.ByteArrayOutputStream;
import java.security.GeneralSecurityException;
import java.util.Arrays;
import javax.crypto.Cipher;
import javax.crypto.spec.SecretKeySpec;

/**
 * Makes encrypted model files with the JDK's own AES, independently of the
 * library: AES-128-ECB under the key the library was built with (system
 * property {@code tarnwick.modelKey}, 32 hex digits).
 */
public final class Models {
    private Models() {}

    public static byte[] key() {
        String hex = System.getProperty("tarnwick.modelKey");
        if (hex == null || hex.length() != 32) {
            throw new IllegalStateException("tarnwick.modelKey must hold 32 hex digits");
        }
        byte[] key = new byte[16];
        for (int i = 0; i < 16; i++) {
            key[i] = (byte) Integer.parseInt(hex.substring(2 * i, 2 * i + 2), 16);
        }
        return key;
    }

    /** Encrypts whole 16-byte blocks as they are, with no padding. */
    public static byte[] encryptBlocks(byte[] blocks) {
        if (blocks.length % 16 != 0) {
            throw new IllegalArgumentException("not whole blocks");
        }
        try {
            Cipher cipher = Cipher.getInstance("AES/ECB/NoPadding");
            cipher.init(Cipher.ENCRYPT_MODE, new SecretKeySpec(key(), "AES"));
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

    /** A model file as the service serves it. */
    public static byte[] seal(byte[] text) {
        return encryptBlocks(pad(text));
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

package tarnwick.tools;

import java.io.ByteArrayOutputStream;
import java.security.GeneralSecurityException;
import java.util.Arrays;
import javax.crypto.Cipher;
import javax.crypto.spec.SecretKeySpec;

/**
 * The model file format: the model text, one 0x80 byte and zero bytes up to a
 * whole 16-byte block (a whole block of padding when the text fills its last
 * block), encrypted block by block with AES-128-ECB.
 *
 * <p>{@link #open} reads a file the way the library's decoder does: an inner
 * block carries text up to its first zero byte and the rest of that block is
 * dropped; the last block carries everything before its 0x80 marker, which
 * must be followed by zero bytes only. So the text it gives is the text the
 * library hands the game's loader (before the library cuts that text at a zero
 * byte of the last block).
 */
final class ModelFile {
    static final int BLOCK = 16;
    /** The library takes files below 2 GiB. */
    static final long MAX_FILE_SIZE = (1L << 31) - BLOCK;

    private static final byte MARKER = (byte) 0x80;

    private ModelFile() {}

    /** What {@link #open} found. */
    static final class Opened {
        /** The text, or null when the last block holds no padding marker. */
        final byte[] text;
        /**
         * Where in {@link #text} the first zero byte stood (dropped with the
         * rest of an inner block, or kept in the last block's text), or -1.
         */
        final long firstZero;

        Opened(byte[] text, long firstZero) {
            this.text = text;
            this.firstZero = firstZero;
        }
    }

    /** The sealed form of {@code text}, which must hold no zero byte. */
    static byte[] seal(byte[] key, byte[] text) throws GeneralSecurityException {
        int padded = (text.length / BLOCK + 1) * BLOCK;
        byte[] blocks = Arrays.copyOf(text, padded);   // zero-filled past the text
        blocks[text.length] = MARKER;
        return cipher(Cipher.ENCRYPT_MODE, key).doFinal(blocks);
    }

    /**
     * Decrypts {@code data}, a non-empty whole number of blocks, and takes the
     * text out as the library's decoder does.
     */
    static Opened open(byte[] key, byte[] data) throws GeneralSecurityException {
        byte[] plain = cipher(Cipher.DECRYPT_MODE, key).doFinal(data);
        ByteArrayOutputStream text = new ByteArrayOutputStream(plain.length);
        long firstZero = -1;
        int last = plain.length - BLOCK;
        for (int start = 0; start < last; start += BLOCK) {
            int zero = indexOfZero(plain, start, start + BLOCK);
            int end = zero < 0 ? start + BLOCK : zero;
            text.write(plain, start, end - start);
            if (zero >= 0 && firstZero < 0) {
                firstZero = text.size();
            }
        }
        // The marker is the last non-zero byte; byte 0 of the block is taken
        // as the marker's place when all the others are zero.
        int marker = plain.length - 1;
        while (marker > last && plain[marker] == 0) {
            marker--;
        }
        if (plain[marker] != MARKER) {
            return new Opened(null, firstZero);
        }
        int zero = indexOfZero(plain, last, marker);
        if (zero >= 0 && firstZero < 0) {
            firstZero = text.size() + (zero - last);
        }
        text.write(plain, last, marker - last);
        return new Opened(text.toByteArray(), firstZero);
    }

    /** The index of the first zero byte in {@code bytes[from, to)}, or -1. */
    static int indexOfZero(byte[] bytes, int from, int to) {
        for (int i = from; i < to; i++) {
            if (bytes[i] == 0) {
                return i;
            }
        }
        return -1;
    }

    private static Cipher cipher(int mode, byte[] key) throws GeneralSecurityException {
        Cipher cipher = Cipher.getInstance("AES/ECB/NoPadding");
        cipher.init(mode, new SecretKeySpec(key, "AES"));
        return cipher;
    }
}

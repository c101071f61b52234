package tarnwick.tools;

import java.io.ByteArrayOutputStream;
import java.io.FileDescriptor;
import java.io.FileOutputStream;
import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.io.PrintStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.AccessDeniedException;
import java.nio.file.FileAlreadyExistsException;
import java.nio.file.FileSystemException;
import java.nio.file.Files;
import java.nio.file.InvalidPathException;
import java.nio.file.NoSuchFileException;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.StandardCopyOption;
import java.nio.file.StandardOpenOption;
import java.nio.file.attribute.BasicFileAttributes;
import java.nio.file.attribute.PosixFileAttributeView;
import java.nio.file.attribute.PosixFileAttributes;
import java.security.GeneralSecurityException;
import java.security.SecureRandom;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;

/**
 * tarnwick-model: seals a model text into the encrypted file the service
 * serves, and opens such a file back into its text, under the model key the
 * library was built with (carried in this jar as {@code model.key}) or one given
 * with {@code --key}.
 *
 * <pre>
 *   java -jar tarnwick-model.jar seal IN.json OUT.enc [--key HEX]
 *   java -jar tarnwick-model.jar open IN.enc [OUT.json] [--key HEX]
 * </pre>
 *
 * Needs nothing but a Java 11 or later runtime: the cipher is the JDK's own.
 */
public final class ModelTool {
    // Exit status, also listed in --help.
    static final int OK = 0;
    static final int BAD_INPUT = 1;    // zero byte, bad length, padding error, too large
    static final int USAGE = 2;        // bad command line or --key
    static final int FILE_ERROR = 3;   // a file could not be read, held in memory or written
    static final int CIPHER_ERROR = 4;

    private static final String PROGRAM = "tarnwick-model";
    /** The development key, "tarnwick-dev-key", so that --help can say it is the one carried. */
    private static final byte[] DEV_KEY = "tarnwick-dev-key".getBytes(StandardCharsets.US_ASCII);

    private final PrintStream err;

    private ModelTool(PrintStream err) {
        this.err = err;
    }

    public static void main(String[] args) {
        int status;
        try {
            status = new ModelTool(System.err).run(args);
        } catch (OutOfMemoryError e) {
            // The file and its sealed or opened form are held in memory at once.
            System.err.println(PROGRAM + ": not enough memory for this file: give Java more"
                    + " (java -Xmx<size> -jar tarnwick-model.jar ...)");
            status = FILE_ERROR;
        }
        System.exit(status);
    }

    int run(String[] args) {
        List<String> operands = new ArrayList<>();
        String keyHex = null;
        for (int i = 0; i < args.length; i++) {
            String arg = args[i];
            if (arg.equals("--help") || arg.equals("-h")) {
                printHelp();
                return OK;
            }
            if (arg.equals("--key")) {
                if (i + 1 == args.length) {
                    return usageError("--key needs a value");
                }
                keyHex = args[++i];
            } else if (arg.startsWith("--key=")) {
                keyHex = arg.substring("--key=".length());
            } else if (arg.length() > 1 && arg.charAt(0) == '-') {
                return usageError("unknown option '" + arg + "'");
            } else {
                operands.add(arg);
            }
        }

        byte[] key;
        if (keyHex != null) {
            key = parseKey(keyHex);
            if (key == null) {
                return usageError("--key needs 32 hex digits (16 key bytes), got " + keyHex.length()
                        + " characters" + (keyHex.length() == 32 ? " that are not all hex digits" : ""));
            }
        } else {
            key = builtInKey();
            if (key == null) {
                return usageError("this jar carries no model key (tarnwick/tools/model.key): pass --key");
            }
        }

        if (operands.isEmpty()) {
            return usageError("no command given (seal or open)");
        }
        String command = operands.get(0);
        if (command.equals("seal")) {
            if (operands.size() != 3) {
                return usageError("seal takes IN.json and OUT.enc");
            }
            return seal(operands.get(1), operands.get(2), key);
        }
        if (command.equals("open")) {
            if (operands.size() != 2 && operands.size() != 3) {
                return usageError("open takes IN.enc and, optionally, OUT.json");
            }
            return open(operands.get(1), operands.size() == 3 ? operands.get(2) : null, key);
        }
        return usageError("unknown command '" + command + "' (seal or open)");
    }

    private int seal(String in, String out, byte[] key) {
        byte[] text;
        try {
            text = readInput(in, ModelFile.MAX_FILE_SIZE - 1);
        } catch (Refused e) {
            return e.status;
        }
        int zero = ModelFile.indexOfZero(text, 0, text.length);
        if (zero >= 0) {
            fileMessage(in, "zero byte at offset " + zero + ": a model text cannot hold zero bytes"
                    + " (the library would cut the text there); nothing written");
            return BAD_INPUT;
        }
        byte[] sealed;
        try {
            sealed = ModelFile.seal(key, text);
        } catch (GeneralSecurityException e) {
            fileMessage(in, "encryption failed: " + e);
            return CIPHER_ERROR;
        }
        return writeOutput(out, sealed) ? OK : FILE_ERROR;
    }

    private int open(String in, String out, byte[] key) {
        byte[] data;
        try {
            data = readInput(in, ModelFile.MAX_FILE_SIZE);
        } catch (Refused e) {
            return e.status;
        }
        if (data.length == 0) {
            fileMessage(in, "empty file: a model file holds at least one 16-byte block");
            return BAD_INPUT;
        }
        if (data.length % ModelFile.BLOCK != 0) {
            fileMessage(in, "length " + data.length
                    + " is not a multiple of 16: a damaged file or not a model file");
            return BAD_INPUT;
        }
        ModelFile.Opened opened;
        try {
            opened = ModelFile.open(key, data);
        } catch (GeneralSecurityException e) {
            fileMessage(in, "decryption failed: " + e);
            return CIPHER_ERROR;
        }
        if (opened.text == null) {
            fileMessage(in, "padding error: the last block holds no 0x80 marker (wrong key, or a"
                    + " damaged last block)");
            return BAD_INPUT;
        }
        if (opened.firstZero >= 0) {
            err.println(PROGRAM + ": " + in + ": warning: zero byte at offset " + opened.firstZero
                    + " of the text written: the library drops the rest of an inner block after a"
                    + " zero byte and the game cuts the text at one, so the game would not get the"
                    + " text as sealed");
        }
        return writeOutput(out, opened.text) ? OK : FILE_ERROR;
    }

    /** A refusal already reported on standard error, with the exit status it gives. */
    private static final class Refused extends Exception {
        private static final long serialVersionUID = 1L;
        final int status;

        Refused(int status) {
            super(null, null, false, false);
            this.status = status;
        }
    }

    /**
     * The whole file. Files larger than {@code limit} bytes are refused before
     * they are read (a regular file) or as soon as the limit is passed.
     */
    private byte[] readInput(String name, long limit) throws Refused {
        Path path;
        try {
            path = Paths.get(name);
        } catch (InvalidPathException e) {
            fileMessage(name, "cannot open: " + e.getReason());
            throw new Refused(FILE_ERROR);
        }
        try (InputStream in = Files.newInputStream(path)) {
            if (Files.isRegularFile(path) && Files.size(path) > limit) {
                fileMessage(name, "too large for a model file (" + Files.size(path)
                        + " bytes, the library takes below 2 GiB)");
                throw new Refused(BAD_INPUT);
            }
            ByteArrayOutputStream data = new ByteArrayOutputStream();
            byte[] chunk = new byte[65536];
            try {
                for (int n; (n = in.read(chunk)) > 0; ) {
                    data.write(chunk, 0, n);
                    if (data.size() > limit) {
                        fileMessage(name, "too large for a model file (the library takes below 2 GiB)");
                        throw new Refused(BAD_INPUT);
                    }
                }
            } catch (IOException e) {
                fileMessage(name, "cannot read: " + reason(e));
                throw new Refused(FILE_ERROR);
            }
            return data.toByteArray();
        } catch (IOException e) {
            fileMessage(name, "cannot open: " + reason(e));
            throw new Refused(FILE_ERROR);
        }
    }

    /**
     * Writes {@code data} to {@code name}, or to standard output when it is
     * null. A regular file (or a new one) is written to a temporary file beside
     * it that is renamed over it only once complete and closed, so a failed
     * write leaves whatever was there before. The temporary file is made as
     * any new file is (on POSIX systems mode 0666 less the umask) and, when it
     * replaces a file, is given that file's permissions first. A symbolic link
     * is followed: the file it names gets the new contents. Anything else (a
     * device, a pipe) is written to directly. Nothing but the tool's own
     * temporary file is ever removed.
     */
    private boolean writeOutput(String name, byte[] data) {
        if (name == null) {
            try {
                OutputStream out = new FileOutputStream(FileDescriptor.out);
                out.write(data);
                out.flush();
                return true;
            } catch (IOException e) {
                fileMessage("standard output", "cannot write: " + reason(e));
                return false;
            }
        }
        Path path;
        try {
            path = Paths.get(name);
        } catch (InvalidPathException e) {
            fileMessage(name, "cannot create: " + e.getReason());
            return false;
        }
        BasicFileAttributes existing = null;
        try {
            existing = Files.readAttributes(path, BasicFileAttributes.class);
        } catch (IOException e) {
            // A new file (or a dangling link, which the new file replaces).
        }
        if (existing != null && existing.isDirectory()) {
            fileMessage(name, "cannot write: it is a directory");
            return false;
        }
        if (existing != null && !existing.isRegularFile()) {
            try (OutputStream out = new FileOutputStream(path.toFile())) {
                out.write(data);
            } catch (IOException e) {
                fileMessage(name, "cannot write: " + reason(e));
                return false;
            }
            return true;
        }

        Path target = path.toAbsolutePath();
        Path temporary;
        try {
            if (existing != null) {
                target = path.toRealPath();
            }
            temporary = createBeside(target);
        } catch (IOException e) {
            fileMessage(name, "cannot create: " + reason(e));
            return false;
        }
        try {
            if (existing != null) {
                PosixFileAttributeView view =
                        Files.getFileAttributeView(target, PosixFileAttributeView.class);
                if (view != null) {
                    Files.setPosixFilePermissions(temporary,
                            view.readAttributes().permissions());
                }
            }
            try (OutputStream out = Files.newOutputStream(temporary, StandardOpenOption.WRITE)) {
                out.write(data);
            }
            Files.move(temporary, target, StandardCopyOption.ATOMIC_MOVE);
            return true;
        } catch (IOException e) {
            try {
                Files.deleteIfExists(temporary);
            } catch (IOException ignored) {
                // Reported below with the write's own failure.
            }
            fileMessage(name, "cannot write: " + reason(e));
            return false;
        }
    }

    private static final SecureRandom RANDOM = new SecureRandom();
    private static final String NAME_CHARACTERS =
            "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";

    /**
     * Creates a new, empty file named {@code <target>.XXXXXX} (six random
     * letters and digits) in the target's directory. Creation fails rather than
     * open anything already there, a symbolic link included.
     */
    private static Path createBeside(Path target) throws IOException {
        FileAlreadyExistsException last = null;
        for (int attempt = 0; attempt < 100; attempt++) {
            char[] suffix = new char[6];
            for (int i = 0; i < suffix.length; i++) {
                suffix[i] = NAME_CHARACTERS.charAt(RANDOM.nextInt(NAME_CHARACTERS.length()));
            }
            Path candidate = target.resolveSibling(target.getFileName() + "." + new String(suffix));
            try {
                return Files.createFile(candidate);
            } catch (FileAlreadyExistsException e) {
                last = e;
            }
        }
        throw last;
    }

    /** What went wrong, in words, without the path the message names anyway. */
    private static String reason(IOException e) {
        if (e instanceof NoSuchFileException) {
            return "no such file or directory";
        }
        if (e instanceof AccessDeniedException) {
            return "permission denied";
        }
        if (e instanceof FileSystemException && ((FileSystemException) e).getReason() != null) {
            return ((FileSystemException) e).getReason();
        }
        return String.valueOf(e.getMessage());
    }

    /** The key this jar was built with, or null when it carries none. */
    static byte[] builtInKey() {
        try (InputStream in = ModelTool.class.getResourceAsStream("model.key")) {
            if (in == null) {
                return null;
            }
            return parseKey(new String(in.readAllBytes(), StandardCharsets.US_ASCII).trim());
        } catch (IOException e) {
            return null;
        }
    }

    /** 32 hex digits as 16 key bytes in order, or null. */
    static byte[] parseKey(String hex) {
        if (hex.length() != 32) {
            return null;
        }
        byte[] key = new byte[16];
        for (int i = 0; i < key.length; i++) {
            int high = Character.digit(hex.charAt(2 * i), 16);
            int low = Character.digit(hex.charAt(2 * i + 1), 16);
            if (high < 0 || low < 0) {
                return null;
            }
            key[i] = (byte) (high << 4 | low);
        }
        return key;
    }

    private int usageError(String message) {
        err.println(PROGRAM + ": " + message);
        err.println("Try 'java -jar tarnwick-model.jar --help'.");
        return USAGE;
    }

    private void fileMessage(String file, String message) {
        err.println(PROGRAM + ": " + file + ": " + message);
    }

    private static void printHelp() {
        byte[] key = builtInKey();
        String carried = key == null ? "no key: pass --key"
                : Arrays.equals(key, DEV_KEY)
                        ? "the development key (\"tarnwick-dev-key\"), which opens none of the\n"
                                + "      service's models"
                        : "the key its build was configured with (not the development key)";
        System.out.print(String.join("\n",
                "Usage:",
                "  java -jar tarnwick-model.jar seal IN.json OUT.enc [--key HEX]",
                "  java -jar tarnwick-model.jar open IN.enc [OUT.json] [--key HEX]",
                "",
                "seal  Encrypts the model text in IN.json into OUT.enc, the form the service",
                "      serves models in: the text, a 0x80 byte and zero bytes up to a whole",
                "      16-byte block (a whole block of padding when the text fills its last",
                "      block), under AES-128-ECB. The text must not hold a zero byte.",
                "open  Decrypts IN.enc as the library does and writes the model text to",
                "      OUT.json, or to standard output when OUT.json is left out (the text",
                "      only, no line break added). A missing padding marker, which is what a",
                "      wrong key or a damaged last block gives, is an error. Damage to any",
                "      other block is NOT detected: it garbles that block's 16 bytes of text.",
                "      A zero byte in the decrypted text is reported on standard error: the",
                "      game would not see the text as sealed.",
                "",
                "Key:  By default the model key of the library this jar was built with,",
                "      set when configuring with -DTARNWICK_MODEL_KEY=<32 hex digits>.",
                "      This jar carries " + carried + ".",
                "      --key HEX (or --key=HEX) uses another key: 32 hex digits, the key",
                "      bytes in order.",
                "",
                "Exit status: 0 done; 1 the input was refused (zero byte in the text, file",
                "length not a multiple of 16, padding error, too large); 2 usage error;",
                "3 a file could not be read or written, or not held in the memory Java",
                "was given; 4 the encryption failed.",
                ""));
        System.out.flush();
    }
}

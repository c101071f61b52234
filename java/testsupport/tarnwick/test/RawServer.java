package tarnwick.test;

import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.io.InputStream;
import java.net.InetAddress;
import java.net.ServerSocket;
import java.net.Socket;
import java.net.SocketTimeoutException;
import java.nio.charset.StandardCharsets;
import java.util.List;
import java.util.concurrent.CopyOnWriteArrayList;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.TimeUnit;

/**
 * A loopback server on plain sockets, for answers HttpServer cannot give: a
 * head or body that stalls, a false Content-Length; and for requests some
 * HttpServer versions refuse before a handler sees them. Each connection is handed
 * to the script on a daemon thread of its own; close() closes every socket,
 * which also frees a client still waiting on one.
 */
public final class RawServer implements AutoCloseable {
    /** What the server does with one connection. */
    public interface Script {
        void run(Socket socket) throws Exception;
    }

    /** How often a wait that starts at an event looks at it. */
    private static final int POLL_MILLIS = 50;

    private final ServerSocket listener;
    private final List<Socket> sockets = new CopyOnWriteArrayList<>();

    public RawServer(Script script) throws IOException {
        listener = new ServerSocket(0, 8, InetAddress.getLoopbackAddress());
        Thread acceptor = new Thread(() -> {
            while (true) {
                Socket socket;
                try {
                    socket = listener.accept();
                } catch (IOException closed) {
                    return;
                }
                sockets.add(socket);
                Thread handler = new Thread(() -> {
                    try (socket) {
                        script.run(socket);
                    } catch (Exception e) {
                        // the client went away; the test reads the outcome elsewhere
                    }
                }, "raw-server-connection");
                handler.setDaemon(true);
                handler.start();
            }
        }, "raw-server");
        acceptor.setDaemon(true);
        acceptor.start();
    }

    public String baseUrl() {
        return "http://127.0.0.1:" + listener.getLocalPort();
    }

    /** Reads a request head up to its blank line and returns it, as sent. */
    public static String readHead(InputStream in) throws IOException {
        ByteArrayOutputStream head = new ByteArrayOutputStream();
        int matched = 0;
        byte[] end = {'\r', '\n', '\r', '\n'};
        while (matched < end.length) {
            int b = in.read();
            if (b < 0) {
                throw new IOException("the client closed before the end of the head");
            }
            head.write(b);
            matched = b == end[matched] ? matched + 1 : (b == '\r' ? 1 : 0);
        }
        return head.toString(StandardCharsets.ISO_8859_1);
    }

    /** Writes a 200 head declaring the given Content-Length, then the first body bytes. */
    public static void sendHead(Socket socket, long length, byte[] firstBytes) throws IOException {
        ByteArrayOutputStream head = new ByteArrayOutputStream();
        head.writeBytes(("HTTP/1.1 200 OK\r\nContent-Length: " + length + "\r\n\r\n")
                .getBytes(StandardCharsets.US_ASCII));
        head.writeBytes(firstBytes);
        socket.getOutputStream().write(head.toByteArray());
        socket.getOutputStream().flush();
    }

    /**
     * Holds the connection for up to the given time (scaled, see Timeouts), counted from
     * this call, and returns true as soon as the client closes its end (end of stream or
     * reset), false on time-out. For a connection the test only keeps open; to check that
     * the client closes it, use the form that starts counting at an event.
     */
    public static boolean clientClosesWithin(Socket socket, int millis) throws IOException {
        socket.setSoTimeout((int) Timeouts.millis(millis));
        try {
            while (socket.getInputStream().read() >= 0) {
                // the client sends nothing more on this connection; ignore it
            }
            return true;
        } catch (SocketTimeoutException stillOpen) {
            return false;
        } catch (IOException reset) {
            return true;
        }
    }

    /**
     * Whether the client closes its end within the given time (scaled, see Timeouts)
     * after {@code event} is counted down: true at end of stream or a reset, whenever it
     * comes, false when the time runs out. Nothing counts before the event, however long
     * the machine takes to get there; a close before it is a close within the time.
     */
    public static boolean clientClosesWithin(Socket socket, CountDownLatch event, int millis)
            throws IOException {
        InputStream in = socket.getInputStream();
        socket.setSoTimeout(POLL_MILLIS);
        long window = TimeUnit.MILLISECONDS.toNanos(Timeouts.millis(millis));
        long startedAt = 0;
        boolean started = false;
        while (true) {
            if (!started && event.getCount() == 0) {
                started = true;
                startedAt = System.nanoTime();
            }
            if (started && System.nanoTime() - startedAt > window) {
                return false;
            }
            try {
                if (in.read() < 0) {
                    return true;
                }
            } catch (SocketTimeoutException poll) {
                // nothing yet: look at the event and the time again
            } catch (IOException reset) {
                return true;
            }
        }
    }

    @Override
    public void close() {
        try {
            listener.close();
        } catch (IOException ignored) {
            // already closed
        }
        for (Socket socket : sockets) {
            try {
                socket.close();
            } catch (IOException ignored) {
                // already closed
            }
        }
    }
}

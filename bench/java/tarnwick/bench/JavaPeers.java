package tarnwick.bench;

import java.io.ByteArrayInputStream;
import java.io.InputStream;
import java.net.URI;
import java.net.http.HttpClient;
import java.net.http.HttpRequest;
import java.net.http.HttpResponse;
import java.util.concurrent.CompletableFuture;
import java.util.function.BiConsumer;
import javax.crypto.Cipher;
import javax.crypto.spec.SecretKeySpec;
import vardel.tarnwick.api.asset.JsonAssetLoader;
import vardel.tarnwick.api.client.model.Mesh;

/**
 * The library's calls written in plain Java, step for step: what a
 * modification developer would otherwise write. They are the peers the
 * benchmarks compare against.
 */
final class JavaPeers {
    private JavaPeers() {}

    /** signIn: the same GET, sendAsync with a string body, whenComplete. */
    static void signIn(HttpClient client, String baseUrl, String uuid, String code,
            BiConsumer<HttpResponse<String>, Throwable> completion) {
        HttpRequest request = HttpRequest.newBuilder().GET()
                .uri(URI.create(baseUrl + "/login_code?mc_uuid=" + uuid + "&code=" + code)).build();
        CompletableFuture<HttpResponse<String>> future =
                client.sendAsync(request, HttpResponse.BodyHandlers.ofString());
        future.whenComplete(completion);
    }

    /** loadRemoteMesh: download, AES-128-ECB with javax.crypto, the same padding rule, the loader. */
    static void loadRemoteMesh(HttpClient client, byte[] key, String baseUrl, String name,
            BiConsumer<Mesh, Throwable> completion) throws Exception {
        HttpRequest request = HttpRequest.newBuilder().GET()
                .uri(URI.create(baseUrl + "/models/" + name + ".enc")).build();
        HttpResponse<InputStream> response = client.send(request, HttpResponse.BodyHandlers.ofInputStream());
        byte[] body = response.body().readAllBytes();
        if (response.statusCode() != 200) {
            throw new IllegalStateException(response.statusCode() + " " + new String(body));
        }
        byte[] text = decode(key, body);
        Mesh mesh;
        try {
            mesh = new JsonAssetLoader(new ByteArrayInputStream(text), null).loadMesh(true);
        } catch (RuntimeException e) {
            completion.accept(null, e);
            return;
        }
        completion.accept(mesh, null);
    }

    /** The model file rule: inner blocks cut at their first zero, the 0x80 marker in the last. */
    static byte[] decode(byte[] key, byte[] body) throws Exception {
        if (body.length % 16 != 0 || body.length == 0) {
            return new byte[0];
        }
        Cipher cipher = Cipher.getInstance("AES/ECB/NoPadding");
        cipher.init(Cipher.DECRYPT_MODE, new SecretKeySpec(key, "AES"));
        byte[] plain = cipher.doFinal(body);
        int out = 0;
        int last = plain.length - 16;
        for (int block = 0; block < last; block += 16) {
            int end = block;
            while (end < block + 16 && plain[end] != 0) {
                end++;
            }
            System.arraycopy(plain, block, plain, out, end - block);
            out += end - block;
        }
        int j = 15;
        while (j > 0 && plain[last + j] == 0) {
            j--;
        }
        if (plain[last + j] == (byte) 0x80) {
            System.arraycopy(plain, last, plain, out, j);
            out += j;
        } else {
            System.out.println("Padding error: 0x80 not found.");
        }
        int cut = 0;
        while (cut < out && plain[cut] != 0) {
            cut++;
        }
        return java.util.Arrays.copyOf(plain, cut);
    }
}

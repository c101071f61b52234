// tarnwick-model: turns a model text into the encrypted file the service
// serves (seal), and such a file back into its text (open).
//
// A model file is AES-128-ECB over the text followed by a 0x80 marker and zero
// bytes up to a whole 16-byte block. Sealing encrypts with OpenSSL; opening
// goes through the library's own decoder (decodePayload, the routine behind
// decodeModelPayload) under whichever key is chosen, so the text `open`
// writes is the text the game is handed.
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "model_payload.h"
#include "model_payload_internal.h"

namespace {

// Exit status, also listed in --help.
enum Exit : int {
    kOk = 0,
    kBadInput = 1,   // the input was refused: zero byte, bad length, padding error, too large
    kUsage = 2,      // bad command line or --key
    kFileError = 3,  // a file could not be read or written
    kCipherError = 4,
};

constexpr std::size_t kBlock = 16;
constexpr std::uint8_t kMarker = 0x80;
// The decoder takes files below 2 GiB.
constexpr std::size_t kMaxFileSize = (std::size_t{1} << 31) - kBlock;

using Key = std::array<std::uint8_t, 16>;
using Bytes = std::vector<std::uint8_t>;

const char kProgram[] = "tarnwick-model";

// The development key, "tarnwick-dev-key", to tell --help which key the build carries.
const Key kDevKey = {'t', 'a', 'r', 'n', 'w', 'i', 'c', 'k',
                     '-', 'd', 'e', 'v', '-', 'k', 'e', 'y'};

// The key the library was built with, assembled as the decoder assembles it.
Key buildKey() {
    Key key;
    tarnwick::detail::assembleModelKey(key.data());
    return key;
}

void printHelp() {
    const bool devKey = buildKey() == kDevKey;
    std::printf(
        "Usage:\n"
        "  %s seal IN.json OUT.enc [--key HEX]\n"
        "  %s open IN.enc [OUT.json] [--key HEX]\n"
        "\n"
        "seal  Encrypts the model text in IN.json into OUT.enc, the form the service\n"
        "      serves models in: the text, a 0x80 byte and zero bytes up to a whole\n"
        "      16-byte block (a whole block of padding when the text fills its last\n"
        "      block), under AES-128-ECB. The text must not hold a zero byte.\n"
        "open  Decrypts IN.enc with the library's decoder and writes the model text\n"
        "      to OUT.json, or to standard output when OUT.json is left out (the text\n"
        "      only, no line break added). A missing padding marker, which is what a\n"
        "      wrong key or a damaged last block gives, is an error. Damage to any\n"
        "      other block is NOT detected: it garbles that block's 16 bytes of text.\n"
        "      A zero byte in the decrypted text is reported on standard error: the\n"
        "      game would not see the text as sealed.\n"
        "\n"
        "Key:  By default the model key this build of the library carries, set when\n"
        "      configuring with -DTARNWICK_MODEL_KEY=<32 hex digits>. This build\n"
        "      carries %s.\n"
        "      --key HEX (or --key=HEX) uses another key: 32 hex digits, the key\n"
        "      bytes in order.\n"
        "\n"
        "Exit status: 0 done; 1 the input was refused (zero byte in the text, file\n"
        "length not a multiple of 16, padding error, too large); 2 usage error;\n"
        "3 a file could not be read or written; 4 the encryption failed.\n",
        kProgram, kProgram,
        devKey ? "the development key (\"tarnwick-dev-key\")" : "a configured key");
}

int usageError(const std::string& message) {
    std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", kProgram, message.c_str(), kProgram);
    return kUsage;
}

// Prints "tarnwick-model: FILE: message" to standard error.
void fileMessage(const std::string& file, const std::string& message) {
    std::fprintf(stderr, "%s: %s: %s\n", kProgram, file.c_str(), message.c_str());
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool parseKey(const std::string& hex, Key& key) {
    if (hex.size() != 2 * key.size()) return false;
    for (std::size_t i = 0; i < key.size(); ++i) {
        const int high = hexDigit(hex[2 * i]);
        const int low = hexDigit(hex[2 * i + 1]);
        if (high < 0 || low < 0) return false;
        key[i] = static_cast<std::uint8_t>(high << 4 | low);
    }
    return true;
}

bool readFile(const std::string& path, Bytes& data) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        fileMessage(path, std::string("cannot open: ") + std::strerror(errno));
        return false;
    }
    data.clear();
    std::uint8_t chunk[65536];
    std::size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
        data.insert(data.end(), chunk, chunk + n);
    }
    const bool failed = std::ferror(file) != 0;
    const int error = errno;
    std::fclose(file);
    if (failed) {
        fileMessage(path, std::string("cannot read: ") + std::strerror(error));
        return false;
    }
    return true;
}

// Writes all of `data` to an open file and closes it; false, with errno set,
// when any part of that failed, including the final flush.
bool writeAndClose(std::FILE* file, const Bytes& data) {
    bool ok = data.empty() || std::fwrite(data.data(), 1, data.size(), file) == data.size();
    ok = std::fflush(file) == 0 && ok;
    int error = errno;
    if (std::fclose(file) != 0 && ok) {
        ok = false;
        error = errno;
    }
    errno = error;
    return ok;
}

// Writes `data` to `path`, or to standard output when `path` is empty.
// A regular file (or a new one) is written to a temporary file beside it that
// is renamed over it only once complete, so a failed write leaves whatever was
// there before. Anything else (a device, a pipe) is written to directly. The
// tool removes nothing but its own temporary file.
bool writeOutput(const std::string& path, const Bytes& data) {
    if (path.empty()) {
        errno = 0;
        const bool written =
            data.empty() || std::fwrite(data.data(), 1, data.size(), stdout) == data.size();
        if (std::fflush(stdout) != 0 || !written) {
            fileMessage("standard output", std::string("cannot write: ") + std::strerror(errno));
            return false;
        }
        return true;
    }
    // A symbolic link is followed: the file it names gets the new contents.
    std::string target = path;
    struct stat existing;
    const bool exists = ::stat(path.c_str(), &existing) == 0;
    if (exists) {
        if (char* resolved = ::realpath(path.c_str(), nullptr)) {
            target = resolved;
            std::free(resolved);
        }
    }
    if (exists && S_ISDIR(existing.st_mode)) {
        fileMessage(path, "cannot write: it is a directory");
        return false;
    }
    if (exists && !S_ISREG(existing.st_mode)) {
        std::FILE* file = std::fopen(path.c_str(), "wb");
        if (file == nullptr || !writeAndClose(file, data)) {
            fileMessage(path, std::string("cannot write: ") + std::strerror(errno));
            return false;
        }
        return true;
    }

    std::string temporary = target + ".XXXXXX";
    const int fd = ::mkstemp(&temporary[0]);
    if (fd < 0) {
        fileMessage(path, std::string("cannot create: ") + std::strerror(errno));
        return false;
    }
    // The mode the file had, or the one a new file gets under the umask.
    mode_t mode = existing.st_mode & 07777;
    if (!exists) {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        mode = 0666 & ~mask;
    }
    std::FILE* file = ::fchmod(fd, mode) == 0 ? ::fdopen(fd, "wb") : nullptr;
    bool ok = file != nullptr && writeAndClose(file, data) &&
              std::rename(temporary.c_str(), target.c_str()) == 0;
    if (!ok) {
        const int error = errno;
        if (file == nullptr) ::close(fd);
        std::remove(temporary.c_str());
        fileMessage(path, std::string("cannot write: ") + std::strerror(error));
    }
    return ok;
}

struct CipherContextFree {
    void operator()(EVP_CIPHER_CTX* context) const { EVP_CIPHER_CTX_free(context); }
};

// AES-128-ECB over whole blocks, no padding added.
bool encryptBlocks(const Bytes& plain, const Key& key, Bytes& sealed) {
    std::unique_ptr<EVP_CIPHER_CTX, CipherContextFree> context(EVP_CIPHER_CTX_new());
    sealed.assign(plain.size() + kBlock, 0);
    int written = 0;
    int final = 0;
    const bool ok =
        context != nullptr &&
        EVP_EncryptInit_ex(context.get(), EVP_aes_128_ecb(), nullptr, key.data(), nullptr) == 1 &&
        EVP_CIPHER_CTX_set_padding(context.get(), 0) == 1 &&
        EVP_EncryptUpdate(context.get(), sealed.data(), &written, plain.data(),
                          static_cast<int>(plain.size())) == 1 &&
        EVP_EncryptFinal_ex(context.get(), sealed.data() + written, &final) == 1;
    if (!ok || static_cast<std::size_t>(written) + final != plain.size()) return false;
    sealed.resize(plain.size());
    return true;
}

int sealModel(const std::string& in, const std::string& out, const Key& key) {
    Bytes text;
    if (!readFile(in, text)) return kFileError;
    if (const void* zero = text.empty() ? nullptr : std::memchr(text.data(), 0, text.size())) {
        const std::size_t offset = static_cast<const std::uint8_t*>(zero) - text.data();
        fileMessage(in, "zero byte at offset " + std::to_string(offset) +
                            ": a model text cannot hold zero bytes (the library would cut the "
                            "text there); nothing written");
        return kBadInput;
    }
    if (text.size() >= kMaxFileSize) {
        fileMessage(in, "too large for a model file (" + std::to_string(text.size()) +
                            " bytes, the library takes below 2 GiB)");
        return kBadInput;
    }

    // The marker, then zeros to the end of its block.
    Bytes padded = text;
    padded.push_back(kMarker);
    padded.resize((padded.size() + kBlock - 1) / kBlock * kBlock, 0);

    Bytes sealed;
    if (!encryptBlocks(padded, key, sealed)) {
        fileMessage(in, "encryption with OpenSSL failed");
        return kCipherError;
    }
    return writeOutput(out, sealed) ? kOk : kFileError;
}

int openModel(const std::string& in, const std::string& out, const Key& key) {
    Bytes data;
    if (!readFile(in, data)) return kFileError;
    if (data.empty()) {
        fileMessage(in, "empty file: a model file holds at least one 16-byte block");
        return kBadInput;
    }
    if (data.size() % kBlock != 0) {
        fileMessage(in, "length " + std::to_string(data.size()) +
                            " is not a multiple of 16: a damaged file or not a model file");
        return kBadInput;
    }
    if (data.size() > kMaxFileSize) {
        fileMessage(in, "too large for a model file (the library takes below 2 GiB)");
        return kBadInput;
    }

    const tarnwick::DecodedPayload decoded =
        tarnwick::decodePayload(key.data(), data.data(), data.size());
    if (decoded.status == tarnwick::PayloadStatus::kPaddingMissing) {
        fileMessage(in,
                    "padding error: the last block holds no 0x80 marker (wrong key, or a "
                    "damaged last block)");
        return kBadInput;
    }
    if (decoded.firstZero != tarnwick::kNoZeroByte) {
        std::fprintf(stderr,
                     "%s: %s: warning: zero byte at offset %zu of the text written: the "
                     "library drops the rest of an inner block after a zero byte and the game "
                     "cuts the text at one, so the game would not get the text as sealed\n",
                     kProgram, in.c_str(), decoded.firstZero);
    }
    return writeOutput(out, decoded.plaintext) ? kOk : kFileError;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> operands;
    std::string keyHex;
    bool haveKey = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            printHelp();
            return kOk;
        }
        if (arg == "--key") {
            if (i + 1 == argc) return usageError("--key needs a value");
            keyHex = argv[++i];
            haveKey = true;
        } else if (arg.rfind("--key=", 0) == 0) {
            keyHex = arg.substr(6);
            haveKey = true;
        } else if (arg.size() > 1 && arg[0] == '-') {
            return usageError("unknown option '" + arg + "'");
        } else {
            operands.push_back(arg);
        }
    }

    Key key = buildKey();
    if (haveKey && !parseKey(keyHex, key)) {
        return usageError("--key needs 32 hex digits (16 key bytes), got " +
                          std::to_string(keyHex.size()) + " characters" +
                          (keyHex.size() == 32 ? " that are not all hex digits" : ""));
    }

    if (operands.empty()) return usageError("no command given (seal or open)");
    const std::string& command = operands[0];
    if (command == "seal") {
        if (operands.size() != 3) return usageError("seal takes IN.json and OUT.enc");
        return sealModel(operands[1], operands[2], key);
    }
    if (command == "open") {
        if (operands.size() != 2 && operands.size() != 3) {
            return usageError("open takes IN.enc and, optionally, OUT.json");
        }
        return openModel(operands[1], operands.size() == 3 ? operands[2] : std::string(), key);
    }
    return usageError("unknown command '" + command + "' (seal or open)");
}

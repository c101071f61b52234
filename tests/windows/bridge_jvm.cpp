// The Linux half of the test bridge: a JNI library the JVM loads in place of
// the library under test (-Dtarnwick.library=<this .so>). It exports the
// same seven entry points. The first call starts bridge_host.exe (beside
// this library) under wine, which loads the DLL named by the file
// <this library>.target when there is one, else by TARNWICK_BRIDGE_DLL (a
// Linux path). Each call goes to the host over this Java thread's own
// connection; while the DLL runs, this thread performs every JNI function
// it asks for with the real JNIEnv, in the DLL's order, and returns the
// result. So -Xcheck:jni sees the DLL's own calls, a blocking call stalls
// only its own thread, and an interrupt reaches the JVM's send as usual.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <jni.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "bridge_wire.h"

extern char** environ;

namespace {

constexpr int kHostStartSeconds = 300;  // wine may first set up its prefix

std::mutex hostMutex;
bool hostStarted = false;
std::string hostError;  // why the host could not start, when it could not
unsigned short hostPort = 0;

void throwError(JNIEnv* env, const std::string& message) {
    if (env->ExceptionCheck()) env->ExceptionClear();
    jclass error = env->FindClass("java/lang/Error");
    if (error != nullptr) env->ThrowNew(error, ("tarnwick bridge: " + message).c_str());
}

std::string thisLibrary() {
    Dl_info info{};
    dladdr(reinterpret_cast<void*>(&thisLibrary), &info);
    return info.dli_fname != nullptr ? info.dli_fname : "";
}

// The DLL to host, as wine names it (drive Z: is the Linux root).
std::string dllToHost(const std::string& library) {
    std::string path;
    std::ifstream target(library + ".target");
    if (!target || !std::getline(target, path) || path.empty()) {
        const char* named = std::getenv("TARNWICK_BRIDGE_DLL");
        if (named == nullptr || *named == '\0') return "";
        path = named;
    }
    if (path[0] != '/') {
        char* absolute = realpath(path.c_str(), nullptr);
        if (absolute != nullptr) path = absolute;
        std::free(absolute);
    }
    for (char& c : path) c = c == '/' ? '\\' : c;
    return "Z:" + path;
}

int loopbackListener(unsigned short* port) {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (s < 0 || bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(s, 1) != 0 || getsockname(s, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        if (s >= 0) close(s);
        return -1;
    }
    *port = ntohs(address.sin_port);
    return s;
}

// Starts the host and waits for its port; returns "" or what went wrong.
// The control connection stays open for the life of the JVM: the host
// exits when it closes.
std::string startHost() {
    std::string library = thisLibrary();
    std::string dll = dllToHost(library);
    if (dll.empty()) {
        return "no DLL to host: set TARNWICK_BRIDGE_DLL or write its path to " + library +
               ".target";
    }
    std::string host = library.substr(0, library.rfind('/') + 1) + "bridge_host.exe";
    unsigned short controlPort = 0;
    int listener = loopbackListener(&controlPort);
    if (listener < 0) return "cannot listen on a loopback port";

    std::string wine = "wine", port = std::to_string(controlPort);
    char* argv[] = {&wine[0], &host[0], &dll[0], &port[0], nullptr};
    std::vector<char*> environment;
    bool quiet = false;
    for (char** e = environ; *e != nullptr; ++e) {
        environment.push_back(*e);
        quiet = quiet || std::string(*e).rfind("WINEDEBUG=", 0) == 0;
    }
    std::string noDebug = "WINEDEBUG=-all";
    if (!quiet) environment.push_back(&noDebug[0]);
    environment.push_back(nullptr);
    pid_t pid = 0;
    int spawned = posix_spawnp(&pid, "wine", nullptr, nullptr, argv, environment.data());
    if (spawned != 0) {
        close(listener);
        return "cannot start wine: " + std::string(strerror(spawned));
    }
    int control = -1;
    for (int waited = 0; control < 0 && waited < kHostStartSeconds; ++waited) {
        pollfd ready{listener, POLLIN, 0};
        if (poll(&ready, 1, 1000) > 0) control = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (control < 0 && waitpid(pid, nullptr, WNOHANG) == pid) break;
    }
    close(listener);
    if (control < 0) return "bridge_host.exe did not start under wine (" + host + ")";
    std::string message;
    if (!bridge::recvMessage(control, message)) return "bridge_host.exe ended while starting";
    bridge::Reader answer(message);
    if (answer.u8() != bridge::kReady) return answer.text();
    hostPort = static_cast<unsigned short>(answer.u32());
    return "";  // control stays open on purpose
}

// This Java thread's connection to the host, closed when the thread ends.
struct Connection {
    int fd = -1;
    ~Connection() {
        if (fd >= 0) close(fd);
    }
};
thread_local Connection connection;

bool connectThisThread() {
    if (connection.fd >= 0) return true;
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(hostPort);
    if (s < 0 || connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        if (s >= 0) close(s);
        return false;
    }
    int on = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    connection.fd = s;
    return true;
}

void dropConnection() {
    close(connection.fd);
    connection.fd = -1;
}

// Performs one kInvoke with the real JNIEnv; returns the result's bits.
std::uint64_t invoke(JNIEnv* env, bridge::Reader& request) {
    auto kind = static_cast<bridge::InvokeKind>(request.u8());
    char returns = static_cast<char>(request.u8());
    jobject target = request.ref<jobject>();
    auto cls = static_cast<jclass>(target);
    auto method = request.ref<jmethodID>();
    std::vector<jvalue> a(request.u32());
    for (jvalue& value : a) {
        char type = static_cast<char>(request.u8());
        std::uint64_t raw = request.u64();
        double d;
        std::memcpy(&d, &raw, sizeof d);
        value.j = 0;
        switch (type) {
            case 'L':
                value.l = reinterpret_cast<jobject>(static_cast<std::uintptr_t>(raw));
                break;
            case 'J':
                value.j = static_cast<jlong>(raw);
                break;
            case 'F':
                value.f = static_cast<float>(d);
                break;
            case 'D':
                value.d = d;
                break;
            default:
                value.i = static_cast<jint>(raw);
                break;
        }
    }
    // Z, B, C and S arrive as int; the JVM reads their low bytes.
    const jvalue* args = a.data();
    bool isStatic = kind == bridge::kStatic;
    if (kind == bridge::kConstructor) {
        return reinterpret_cast<std::uintptr_t>(env->NewObjectA(cls, method, args));
    }
    switch (returns) {
        case 'V':
            isStatic ? env->CallStaticVoidMethodA(cls, method, args)
                     : env->CallVoidMethodA(target, method, args);
            return 0;
        case 'Z':
            return isStatic ? env->CallStaticBooleanMethodA(cls, method, args)
                            : env->CallBooleanMethodA(target, method, args);
        case 'I':
            return static_cast<std::uint32_t>(isStatic
                                                  ? env->CallStaticIntMethodA(cls, method, args)
                                                  : env->CallIntMethodA(target, method, args));
        case 'J':
            return static_cast<std::uint64_t>(isStatic
                                                  ? env->CallStaticLongMethodA(cls, method, args)
                                                  : env->CallLongMethodA(target, method, args));
        default:  // L and [
            return reinterpret_cast<std::uintptr_t>(
                isStatic ? env->CallStaticObjectMethodA(cls, method, args)
                         : env->CallObjectMethodA(target, method, args));
    }
}

// Performs one JNI function the DLL asked for and writes its answer.
// Returns false for a request this side does not know.
bool perform(JNIEnv* env, bridge::Op op, bridge::Reader& request, bridge::Writer& reply) {
    switch (op) {
        case bridge::kFindClass:
            reply.ref(env->FindClass(request.text().c_str()));
            break;
        case bridge::kGetMethodId: {
            auto cls = request.ref<jclass>();
            std::string name = request.text(), signature = request.text();
            reply.ref(request.u8() ? env->GetStaticMethodID(cls, name.c_str(), signature.c_str())
                                   : env->GetMethodID(cls, name.c_str(), signature.c_str()));
            break;
        }
        case bridge::kGetStaticFieldId: {
            auto cls = request.ref<jclass>();
            std::string name = request.text(), type = request.text();
            reply.ref(env->GetStaticFieldID(cls, name.c_str(), type.c_str()));
            break;
        }
        case bridge::kGetStaticObjectField: {
            auto cls = request.ref<jclass>();
            reply.ref(env->GetStaticObjectField(cls, request.ref<jfieldID>()));
            break;
        }
        case bridge::kInvoke:
            reply.u64(invoke(env, request));
            break;
        case bridge::kExceptionCheck:
            reply.u8(env->ExceptionCheck());
            break;
        case bridge::kExceptionOccurred:
            reply.ref(env->ExceptionOccurred());
            break;
        case bridge::kExceptionClear:
            env->ExceptionClear();
            break;
        case bridge::kThrow:
            reply.u32(static_cast<std::uint32_t>(env->Throw(request.ref<jthrowable>())));
            break;
        case bridge::kThrowNew: {
            auto cls = request.ref<jclass>();
            reply.u32(static_cast<std::uint32_t>(env->ThrowNew(cls, request.text().c_str())));
            break;
        }
        case bridge::kDeleteLocalRef:
            env->DeleteLocalRef(request.ref<jobject>());
            break;
        case bridge::kEnsureLocalCapacity:
            reply.u32(static_cast<std::uint32_t>(
                env->EnsureLocalCapacity(static_cast<jint>(request.u32()))));
            break;
        case bridge::kIsInstanceOf: {
            auto object = request.ref<jobject>();
            reply.u8(env->IsInstanceOf(object, request.ref<jclass>()));
            break;
        }
        case bridge::kNewStringUtf:
            reply.ref(env->NewStringUTF(request.text().c_str()));
            break;
        case bridge::kGetStringUtfChars: {
            const char* chars = env->GetStringUTFChars(request.ref<jstring>(), nullptr);
            reply.ref(chars);
            reply.text(chars);
            break;
        }
        case bridge::kReleaseStringUtfChars: {
            auto string = request.ref<jstring>();
            env->ReleaseStringUTFChars(string, request.ref<const char*>());
            break;
        }
        case bridge::kGetArrayLength:
            reply.u32(static_cast<std::uint32_t>(env->GetArrayLength(request.ref<jarray>())));
            break;
        case bridge::kNewByteArray:
            reply.ref(env->NewByteArray(static_cast<jsize>(request.u32())));
            break;
        case bridge::kGetByteArrayRegion: {
            auto array = request.ref<jbyteArray>();
            auto start = static_cast<jsize>(request.u32());
            auto length = static_cast<jsize>(request.u32());
            std::vector<jbyte> bytes(length > 0 ? static_cast<std::size_t>(length) : 0);
            env->GetByteArrayRegion(array, start, length, bytes.data());
            if (env->ExceptionCheck()) bytes.clear();
            reply.text(bytes.data(), bytes.size());
            break;
        }
        case bridge::kSetByteArrayRegion: {
            auto array = request.ref<jbyteArray>();
            auto start = static_cast<jsize>(request.u32());
            std::string bytes = request.text();
            env->SetByteArrayRegion(array, start, static_cast<jsize>(bytes.size()),
                                    reinterpret_cast<const jbyte*>(bytes.data()));
            break;
        }
        default:
            return false;
    }
    return request.ok();
}

// Runs one entry point in the DLL, serving its JNI calls on this thread.
void forward(JNIEnv* env, int entry, std::initializer_list<jobject> arguments) {
    {
        std::lock_guard<std::mutex> lock(hostMutex);
        if (!hostStarted) {
            hostError = startHost();
            hostStarted = true;
        }
    }
    if (!hostError.empty()) return throwError(env, hostError);
    if (!connectThisThread()) return throwError(env, "cannot connect to bridge_host.exe");

    bridge::Writer call(bridge::kCall);
    call.u8(static_cast<std::uint8_t>(entry));
    call.u32(static_cast<std::uint32_t>(arguments.size()));
    for (jobject argument : arguments) call.ref(argument);
    std::string message;
    if (!bridge::sendMessage(connection.fd, call)) {
        dropConnection();
        return throwError(env, "lost bridge_host.exe");
    }
    while (bridge::recvMessage(connection.fd, message)) {
        bridge::Reader request(message);
        auto op = static_cast<bridge::Op>(request.u8());
        if (op == bridge::kDone) return;
        if (op == bridge::kUnforwarded) {
            dropConnection();
            return throwError(env, "the DLL called JNI function " + request.text() +
                                       ", which the bridge does not forward");
        }
        bridge::Writer reply(op);
        if (!perform(env, op, request, reply)) {
            dropConnection();
            return throwError(env, "malformed request " + std::to_string(op) + " from the host");
        }
        if (!bridge::sendMessage(connection.fd, reply)) break;
    }
    dropConnection();
    throwError(env, "bridge_host.exe ended during a call");
}

}  // namespace

extern "C" {

JNIEXPORT void JNICALL
Java_vardel_tarnwick_api_client_online_TarnwickServerConnectionHelper_autoLogin(
    JNIEnv* env, jclass c, jstring baseUrl, jstring uuid, jstring accessToken, jstring refreshToken,
    jstring provider, jobject completion) {
    forward(env, 0, {c, baseUrl, uuid, accessToken, refreshToken, provider, completion});
}

JNIEXPORT void JNICALL Java_vardel_tarnwick_api_client_online_TarnwickServerConnectionHelper_signIn(
    JNIEnv* env, jclass c, jstring baseUrl, jstring uuid, jstring code, jobject completion) {
    forward(env, 1, {c, baseUrl, uuid, code, completion});
}

JNIEXPORT void JNICALL
Java_vardel_tarnwick_api_client_online_TarnwickServerConnectionHelper_signOut(
    JNIEnv* env, jclass c, jstring baseUrl, jstring uuid, jstring accessToken, jstring refreshToken,
    jstring provider, jobject completion) {
    forward(env, 2, {c, baseUrl, uuid, accessToken, refreshToken, provider, completion});
}

JNIEXPORT void JNICALL
Java_vardel_tarnwick_api_client_online_TarnwickServerConnectionHelper_getAvailableCosmetics(
    JNIEnv* env, jclass c, jstring baseUrl, jstring uuid, jstring accessToken, jstring refreshToken,
    jstring provider, jobject completion) {
    forward(env, 3, {c, baseUrl, uuid, accessToken, refreshToken, provider, completion});
}

JNIEXPORT void JNICALL
Java_vardel_tarnwick_api_client_online_TarnwickServerConnectionHelper_saveConfiguration(
    JNIEnv* env, jclass c, jstring baseUrl, jstring document, jobject completion) {
    forward(env, 4, {c, baseUrl, document, completion});
}

JNIEXPORT void JNICALL
Java_vardel_tarnwick_api_client_online_TarnwickServerConnectionHelper_getPlayerSkinInfo(
    JNIEnv* env, jclass c, jstring baseUrl, jstring uuid, jobject completion) {
    forward(env, 5, {c, baseUrl, uuid, completion});
}

JNIEXPORT void JNICALL
Java_vardel_tarnwick_api_client_online_TarnwickServerConnectionHelper_loadRemoteMesh(
    JNIEnv* env, jclass c, jstring baseUrl, jstring modelName, jobject completion) {
    forward(env, 6, {c, baseUrl, modelName, completion});
}

}  // extern "C"

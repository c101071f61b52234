// The Linux half of the test bridge: a JNI library the JVM loads in place of
// the library under test (-Dtarnwick.library=<this .so>). It exports the
// entry points of jni/entry_points.h. The first call starts bridge_host.exe (beside
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
#include <tuple>
#include <type_traits>
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
    sockaddr_in address = bridge::loopback(0);
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
    sockaddr_in address = bridge::loopback(hostPort);
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
    std::vector<jvalue> arguments(request.u32());
    for (jvalue& value : arguments) {
        std::uint64_t raw = request.u64();
        std::memcpy(&value, &raw, sizeof value);
    }
    const jvalue* a = arguments.data();
    if (kind == bridge::kConstructor) {
        return reinterpret_cast<std::uintptr_t>(env->NewObjectA(cls, method, a));
    }
#define TARNWICK_CALL(Type)                                                   \
    (kind == bridge::kStatic ? env->CallStatic##Type##MethodA(cls, method, a) \
                             : env->Call##Type##MethodA(target, method, a))
    switch (returns) {
        case 'V':
            TARNWICK_CALL(Void);
            return 0;
        case 'Z':
            return TARNWICK_CALL(Boolean);
        case 'I':
            return static_cast<std::uint32_t>(TARNWICK_CALL(Int));
        case 'J':
            return static_cast<std::uint64_t>(TARNWICK_CALL(Long));
        default:
            return reinterpret_cast<std::uintptr_t>(TARNWICK_CALL(Object));  // L, [
    }
#undef TARNWICK_CALL
}

// One argument of a JNI function, as the host sent it.
template <typename T>
struct Held {
    explicit Held(bridge::Reader& r) : value(bridge::take<T>(r)) {}
    T get() const { return value; }
    T value;
};
template <>
struct Held<const char*> {
    explicit Held(bridge::Reader& r) : text(r.text()) {}
    const char* get() const { return text.c_str(); }
    std::string text;
};

// Performs a JNI function whose arguments and result travel as put()
// writes them.
template <typename R, typename... A>
void perform(JNIEnv* env, bridge::Reader& request, bridge::Writer& reply,
             R (JNIEnv::*function)(A...)) {
    std::tuple<Held<A>...> held{Held<A>(request)...};  // read in order
    auto call = [&](const Held<A>&... a) { return (env->*function)(a.get()...); };
    if constexpr (std::is_void_v<R>) {
        std::apply(call, held);
    } else {
        bridge::put(reply, std::apply(call, held));
    }
}

// Performs one JNI function the DLL asked for and writes its answer.
// Returns false for a request this side does not know.
bool perform(JNIEnv* env, bridge::Op op, bridge::Reader& request, bridge::Writer& reply) {
#define TARNWICK_PERFORM(name)                       \
    case bridge::k##name:                            \
        perform(env, request, reply, &JNIEnv::name); \
        break
    switch (op) {
        TARNWICK_PERFORM(FindClass);
        TARNWICK_PERFORM(GetMethodID);
        TARNWICK_PERFORM(GetStaticMethodID);
        TARNWICK_PERFORM(GetStaticFieldID);
        TARNWICK_PERFORM(GetStaticObjectField);
        TARNWICK_PERFORM(ExceptionCheck);
        TARNWICK_PERFORM(ExceptionOccurred);
        TARNWICK_PERFORM(ExceptionClear);
        TARNWICK_PERFORM(Throw);
        TARNWICK_PERFORM(ThrowNew);
        TARNWICK_PERFORM(DeleteLocalRef);
        TARNWICK_PERFORM(EnsureLocalCapacity);
        TARNWICK_PERFORM(IsInstanceOf);
        TARNWICK_PERFORM(NewStringUTF);
        TARNWICK_PERFORM(GetArrayLength);
        TARNWICK_PERFORM(NewByteArray);
#undef TARNWICK_PERFORM
        case bridge::kGetStringUTFChars: {
            const char* chars = env->GetStringUTFChars(request.ref<jstring>(), nullptr);
            reply.ref(chars);
            reply.text(chars);
            break;
        }
        case bridge::kReleaseStringUTFChars: {
            auto string = request.ref<jstring>();
            env->ReleaseStringUTFChars(string, request.ref<const char*>());
            break;
        }
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
        case bridge::kInvoke:
            reply.u64(invoke(env, request));
            break;
        default:
            return false;
    }
    return request.ok();
}

// JNI guarantees a native method 16 local references; more need
// EnsureLocalCapacity. HotSpot's -Xcheck:jni warns only past 32, so holding
// 16 here before the DLL runs (they are freed with this native frame) makes
// it warn as soon as the DLL holds more than 16 without reserving them.
constexpr int kUncheckedLocalReferences = 16;

void holdUncheckedLocalReferences(JNIEnv* env, jclass any) {
    for (int i = 0; i < kUncheckedLocalReferences; ++i) env->NewLocalRef(any);
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

    holdUncheckedLocalReferences(env, static_cast<jclass>(*arguments.begin()));
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
        if (op == bridge::kNotExported) {
            jclass error = env->FindClass("java/lang/UnsatisfiedLinkError");
            std::string name = bridge::kEntryPoints[entry].name;
            if (error != nullptr) env->ThrowNew(error, ("the DLL does not export " + name).c_str());
            return;
        }
        if (op == bridge::kUnforwarded) {
            dropConnection();
            return throwError(env, "the DLL called JNI function " + request.text() +
                                       ", which the bridge does not forward");
        }
        if (op == bridge::kWrongCallForm) {
            dropConnection();
            return throwError(env, request.text());
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

// The entry points of the table, each forwarding its class and arguments
// (references all; the table checks that).
enum EntryIndex {
#define TARNWICK_BRIDGE_INDEX(name, parameters, descriptor, request, path) kEntry_##name,
    TARNWICK_ENTRY_POINTS(TARNWICK_BRIDGE_INDEX)
#undef TARNWICK_BRIDGE_INDEX
};

// "(a, b, c)" as the parameter list "jobject a, jobject b, jobject c", up to nine.
#define TARNWICK_JOBJECTS(...) \
    TARNWICK_JOBJECTS_CAT(TARNWICK_JOBJECTS_, TARNWICK_COUNT_NAMES(__VA_ARGS__))(__VA_ARGS__)
#define TARNWICK_JOBJECTS_CAT(a, b) TARNWICK_JOBJECTS_CAT_(a, b)
#define TARNWICK_JOBJECTS_CAT_(a, b) a##b
#define TARNWICK_JOBJECTS_1(a) jobject a
#define TARNWICK_JOBJECTS_2(a, ...) jobject a, TARNWICK_JOBJECTS_1(__VA_ARGS__)
#define TARNWICK_JOBJECTS_3(a, ...) jobject a, TARNWICK_JOBJECTS_2(__VA_ARGS__)
#define TARNWICK_JOBJECTS_4(a, ...) jobject a, TARNWICK_JOBJECTS_3(__VA_ARGS__)
#define TARNWICK_JOBJECTS_5(a, ...) jobject a, TARNWICK_JOBJECTS_4(__VA_ARGS__)
#define TARNWICK_JOBJECTS_6(a, ...) jobject a, TARNWICK_JOBJECTS_5(__VA_ARGS__)
#define TARNWICK_JOBJECTS_7(a, ...) jobject a, TARNWICK_JOBJECTS_6(__VA_ARGS__)
#define TARNWICK_JOBJECTS_8(a, ...) jobject a, TARNWICK_JOBJECTS_7(__VA_ARGS__)
#define TARNWICK_JOBJECTS_9(a, ...) jobject a, TARNWICK_JOBJECTS_8(__VA_ARGS__)
#define TARNWICK_UNPACK(...) __VA_ARGS__

#define TARNWICK_BRIDGE_ENTRY(name, parameters, descriptor, request, path)            \
    extern "C" JNIEXPORT void JNICALL                                                 \
        Java_vardel_tarnwick_api_client_online_TarnwickServerConnectionHelper_##name( \
            JNIEnv* env, jclass c, TARNWICK_JOBJECTS parameters) {                    \
        forward(env, kEntry_##name, {c, TARNWICK_UNPACK parameters});                 \
    }
TARNWICK_ENTRY_POINTS(TARNWICK_BRIDGE_ENTRY)

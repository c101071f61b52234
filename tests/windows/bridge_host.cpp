// The Windows half of the test bridge, run under wine by the JVM side
// (bridge_jvm.cpp). It loads tarnwick.dll with LoadLibrary, so DllMain runs
// as on Windows, and finds the entry points of jni/entry_points.h. The JVM side connects
// once per Java thread; for each call on a connection, a thread of this
// program calls the entry point with a JNIEnv whose every function the DLL
// uses sends the call back over that connection, where it is performed with
// the real JNIEnv on the calling Java thread. Any other JNI function fails
// the call, naming the function.
//
// Usage: bridge_host.exe DLL CONTROL_PORT
// CONTROL_PORT is where the JVM side waits for kReady or kHostError; when
// that connection closes (the JVM is gone) this program exits.
#define WIN32_LEAN_AND_MEAN
#include <jni.h>
#include <windows.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include <array>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "bridge_wire.h"

namespace {

// The names of the function table's slots, in order, taken from jni.h.
const char* const kSlotNames[] = {
#include "jni_function_names.inc"
};
constexpr std::size_t kSlotCount = sizeof(JNINativeInterface_) / sizeof(void*);
static_assert(sizeof kSlotNames / sizeof kSlotNames[0] == kSlotCount,
              "one name per JNI function table slot");

void* entryPoints[bridge::kEntryPointCount];

// The JNIEnv handed to the DLL: the function table, then the connection
// that its functions talk over.
struct BridgeEnv {
    const JNINativeInterface_* functions;
    SOCKET connection;
};

SOCKET connectionOf(JNIEnv* env) { return reinterpret_cast<BridgeEnv*>(env)->connection; }

// Sends one JNI function to the JVM side and returns its answer. If the JVM
// side is gone, so is the call: this thread ends.
std::string roundTrip(JNIEnv* env, const bridge::Writer& request) {
    std::string reply;
    if (!bridge::sendMessage(connectionOf(env), request) ||
        !bridge::recvMessage(connectionOf(env), reply)) {
        closesocket(connectionOf(env));
        ExitThread(1);
    }
    // The answer starts with the request's own op, then its result.
    if (reply.empty() || reply[0] != request.bytes()[0]) {
        std::fprintf(stderr, "tarnwick bridge: answer to the wrong request\n");
        std::abort();
    }
    return reply.substr(1);
}

// A slot the bridge does not forward. The DLL cannot go on with a made-up
// result, so the call ends here, and the JVM side throws an Error naming
// the function.
template <std::size_t Slot>
void* JNICALL unforwarded(JNIEnv* env) {
    std::fprintf(stderr,
                 "tarnwick bridge: the DLL called JNI function %s, which is not forwarded\n",
                 kSlotNames[Slot]);
    std::fflush(stderr);
    bridge::Writer message(bridge::kUnforwarded);
    message.text(kSlotNames[Slot]);
    bridge::sendMessage(connectionOf(env), message);
    closesocket(connectionOf(env));
    ExitThread(1);
}

// A method as GetMethodID or GetStaticMethodID was asked for it.
struct Method {
    std::string name;
    std::string signature;
};

// Method ID -> name and signature, for reading the arguments of the variadic
// calls and checking their call form.
std::mutex signaturesMutex;
std::map<std::uint64_t, Method> signatures;

// The return type a Call<Type>Method form is for: V, Z, I, J, or L for
// CallObjectMethod (an object or an array).
template <typename R>
constexpr char callFormOf() {
    if constexpr (std::is_void_v<R>) return 'V';
    if constexpr (std::is_same_v<R, jboolean>) return 'Z';
    if constexpr (std::is_same_v<R, jint>) return 'I';
    if constexpr (std::is_same_v<R, jlong>) return 'J';
    return 'L';
}

// The JVM takes a call whose form does not match the method's return type
// (CallObjectMethod on a void method just returns null) although JNI makes it
// undefined, and -Xcheck:jni does not look. The bridge does: a constructor
// must be called with NewObject, and any other method with the form of its
// descriptor's return type. Otherwise the call ends here and the JVM side
// throws an Error naming the method and the form used.
void requireCallForm(JNIEnv* env, bridge::InvokeKind kind, char form, const Method& method) {
    char returns = method.signature[method.signature.find(')') + 1];
    bool constructor = method.name == "<init>";
    bool matches = kind == bridge::kConstructor
                       ? constructor
                       : !constructor && (form == returns || (form == 'L' && returns == '['));
    if (matches) return;
    const char* type = form == 'V'   ? "Void"
                       : form == 'Z' ? "Boolean"
                       : form == 'I' ? "Int"
                       : form == 'J' ? "Long"
                                     : "Object";
    std::string used =
        kind == bridge::kConstructor
            ? std::string("NewObject")
            : std::string("Call") + (kind == bridge::kStatic ? "Static" : "") + type + "Method";
    std::string why = "the DLL called " + method.name + method.signature + " with " + used +
                      ", which does not match its return type";
    std::fprintf(stderr, "tarnwick bridge: %s\n", why.c_str());
    std::fflush(stderr);
    bridge::Writer message(bridge::kWrongCallForm);
    message.text(why.c_str());
    bridge::sendMessage(connectionOf(env), message);
    closesocket(connectionOf(env));
    ExitThread(1);
}

std::uint64_t invoke(JNIEnv* env, bridge::InvokeKind kind, char form, void* target,
                     jmethodID method, va_list arguments) {
    Method called;
    {
        std::lock_guard<std::mutex> lock(signaturesMutex);
        auto found = signatures.find(reinterpret_cast<std::uintptr_t>(method));
        if (found != signatures.end()) called = found->second;
    }
    const std::string& signature = called.signature;
    std::size_t close = signature.find(')');
    if (signature.empty() || signature[0] != '(' || close == std::string::npos) {
        std::fprintf(stderr, "tarnwick bridge: call through a method ID not from GetMethodID\n");
        std::abort();
    }
    requireCallForm(env, kind, form, called);
    // Each argument as the jvalue the JVM side hands on. On x86-64 Windows
    // every variadic argument takes an 8-byte slot; int and smaller come as
    // int, float as double.
    std::vector<std::uint64_t> values;
    for (std::size_t i = 1; i < close; ++i) {
        jvalue value;
        value.j = 0;
        char type = signature[i];
        if (type == 'L' || type == '[') {
            while (signature[i] == '[') ++i;
            if (signature[i] == 'L') i = signature.find(';', i);
            value.l = va_arg(arguments, jobject);
        } else if (type == 'J') {
            value.j = va_arg(arguments, jlong);
        } else if (type == 'D') {
            value.d = va_arg(arguments, double);
        } else if (type == 'F') {
            value.f = static_cast<float>(va_arg(arguments, double));
        } else {
            value.i = va_arg(arguments, jint);  // Z, B, C and S are its low bytes
        }
        values.emplace_back();
        std::memcpy(&values.back(), &value, sizeof value);
    }
    bridge::Writer request(bridge::kInvoke);
    request.u8(kind);
    request.u8(static_cast<std::uint8_t>(signature[close + 1]));
    request.ref(target);
    request.ref(method);
    request.u32(static_cast<std::uint32_t>(values.size()));
    for (std::uint64_t value : values) request.u64(value);
    std::string reply = roundTrip(env, request);
    return bridge::Reader(reply).u64();
}

template <typename R>
R fromRaw(std::uint64_t raw) {
    if constexpr (std::is_pointer_v<R>) {
        return reinterpret_cast<R>(static_cast<std::uintptr_t>(raw));
    } else {
        return static_cast<R>(raw);
    }
}

template <bridge::InvokeKind Kind, typename R, typename Target>
R JNICALL callV(JNIEnv* env, Target target, jmethodID method, va_list arguments) {
    std::uint64_t raw = invoke(env, Kind, callFormOf<R>(), target, method, arguments);
    if constexpr (!std::is_void_v<R>) return fromRaw<R>(raw);
}

template <bridge::InvokeKind Kind, typename R, typename Target>
R JNICALL call(JNIEnv* env, Target target, jmethodID method, ...) {
    va_list arguments;
    va_start(arguments, method);
    std::uint64_t raw = invoke(env, Kind, callFormOf<R>(), target, method, arguments);
    va_end(arguments);
    if constexpr (!std::is_void_v<R>) return fromRaw<R>(raw);
}

// A JNI function whose arguments and result travel as put() writes them.
template <bridge::Op Op, typename F>
struct Forward;
template <bridge::Op Op, typename R, typename... A>
struct Forward<Op, R(JNICALL*)(JNIEnv*, A...)> {
    static R JNICALL call(JNIEnv* env, A... arguments) {
        bridge::Writer request(Op);
        (bridge::put(request, arguments), ...);
        std::string reply = roundTrip(env, request);
        bridge::Reader answer(reply);
        if constexpr (!std::is_void_v<R>) return bridge::take<R>(answer);
    }
};

// GetMethodID and GetStaticMethodID, which also note the signature.
template <bridge::Op Op>
jmethodID JNICALL getMethodId(JNIEnv* env, jclass cls, const char* name, const char* signature) {
    jmethodID method =
        Forward<Op, decltype(JNINativeInterface_::GetMethodID)>::call(env, cls, name, signature);
    if (method != nullptr) {
        std::lock_guard<std::mutex> lock(signaturesMutex);
        signatures[reinterpret_cast<std::uintptr_t>(method)] = Method{name, signature};
    }
    return method;
}

// The copy is this side's own memory; the 16 bytes before it keep the JVM
// side's handle to its copy, for the release.
constexpr std::size_t kHandleRoom = 16;

const char* JNICALL getStringUtfChars(JNIEnv* env, jstring string, jboolean* isCopy) {
    bridge::Writer request(bridge::kGetStringUTFChars);
    request.ref(string);
    std::string reply = roundTrip(env, request);
    bridge::Reader answer(reply);
    std::uint64_t handle = answer.u64();
    std::string text = answer.text();
    if (handle == 0) return nullptr;
    char* block = static_cast<char*>(std::malloc(kHandleRoom + text.size() + 1));
    if (block == nullptr) std::abort();
    std::memcpy(block, &handle, sizeof handle);
    std::memcpy(block + kHandleRoom, text.c_str(), text.size() + 1);
    if (isCopy != nullptr) *isCopy = JNI_TRUE;
    return block + kHandleRoom;
}

void JNICALL releaseStringUtfChars(JNIEnv* env, jstring string, const char* chars) {
    char* block = const_cast<char*>(chars) - kHandleRoom;
    std::uint64_t handle;
    std::memcpy(&handle, block, sizeof handle);
    std::free(block);
    bridge::Writer request(bridge::kReleaseStringUTFChars);
    request.ref(string);
    request.u64(handle);
    roundTrip(env, request);
}

void JNICALL getByteArrayRegion(JNIEnv* env, jbyteArray array, jsize start, jsize length,
                                jbyte* to) {
    bridge::Writer request(bridge::kGetByteArrayRegion);
    request.ref(array);
    request.u32(static_cast<std::uint32_t>(start));
    request.u32(static_cast<std::uint32_t>(length));
    std::string reply = roundTrip(env, request);
    std::string bytes = bridge::Reader(reply).text();
    // Empty when the region was out of bounds (an exception is pending).
    if (length > 0 && bytes.size() == static_cast<std::size_t>(length)) {
        std::memcpy(to, bytes.data(), bytes.size());
    }
}

void JNICALL setByteArrayRegion(JNIEnv* env, jbyteArray array, jsize start, jsize length,
                                const jbyte* from) {
    bridge::Writer request(bridge::kSetByteArrayRegion);
    request.ref(array);
    request.u32(static_cast<std::uint32_t>(start));
    request.text(from, length > 0 ? static_cast<std::size_t>(length) : 0);
    roundTrip(env, request);
}

// The critical pair as a JVM that hands out copies implements it: the
// array's bytes are fetched into a host buffer, and written back on release
// unless the mode is JNI_ABORT. The library pins byte arrays only.
void* JNICALL getPrimitiveArrayCritical(JNIEnv* env, jarray array, jboolean* isCopy) {
    const jsize length = env->GetArrayLength(array);
    if (env->ExceptionCheck()) return nullptr;
    jbyte* bytes = static_cast<jbyte*>(std::malloc(length > 0 ? static_cast<std::size_t>(length) : 1));
    if (bytes == nullptr) std::abort();
    if (length > 0) getByteArrayRegion(env, static_cast<jbyteArray>(array), 0, length, bytes);
    if (isCopy != nullptr) *isCopy = JNI_TRUE;
    return bytes;
}

void JNICALL releasePrimitiveArrayCritical(JNIEnv* env, jarray array, void* elements, jint mode) {
    if (mode != JNI_ABORT) {
        const jsize length = env->GetArrayLength(array);
        setByteArrayRegion(env, static_cast<jbyteArray>(array), 0, length,
                           static_cast<const jbyte*>(elements));
    }
    if (mode != JNI_COMMIT) std::free(elements);
}

template <std::size_t... Slots>
void fillUnforwarded(JNINativeInterface_& table, std::index_sequence<Slots...>) {
    void* slots[] = {reinterpret_cast<void*>(&unforwarded<Slots>)...};
    std::memcpy(&table, slots, sizeof slots);
}

JNINativeInterface_ makeFunctionTable() {
    using bridge::kConstructor;
    using bridge::kInstance;
    using bridge::kStatic;
    static_assert(sizeof(jvalue) == sizeof(std::uint64_t), "a jvalue travels as a u64");
    JNINativeInterface_ t;
    fillUnforwarded(t, std::make_index_sequence<kSlotCount>());
#define TARNWICK_FORWARD(name) t.name = Forward<bridge::k##name, decltype(t.name)>::call
    TARNWICK_FORWARD(FindClass);
    TARNWICK_FORWARD(GetStaticFieldID);
    TARNWICK_FORWARD(GetStaticObjectField);
    TARNWICK_FORWARD(ExceptionCheck);
    TARNWICK_FORWARD(ExceptionOccurred);
    TARNWICK_FORWARD(ExceptionClear);
    TARNWICK_FORWARD(Throw);
    TARNWICK_FORWARD(ThrowNew);
    TARNWICK_FORWARD(DeleteLocalRef);
    TARNWICK_FORWARD(EnsureLocalCapacity);
    TARNWICK_FORWARD(IsInstanceOf);
    TARNWICK_FORWARD(NewStringUTF);
    TARNWICK_FORWARD(GetArrayLength);
    TARNWICK_FORWARD(NewByteArray);
#undef TARNWICK_FORWARD
    t.GetMethodID = getMethodId<bridge::kGetMethodID>;
    t.GetStaticMethodID = getMethodId<bridge::kGetStaticMethodID>;
    t.GetStringUTFChars = getStringUtfChars;
    t.ReleaseStringUTFChars = releaseStringUtfChars;
    t.GetByteArrayRegion = getByteArrayRegion;
    t.SetByteArrayRegion = setByteArrayRegion;
    t.GetPrimitiveArrayCritical = getPrimitiveArrayCritical;
    t.ReleasePrimitiveArrayCritical = releasePrimitiveArrayCritical;
    t.NewObject = call<kConstructor, jobject, jclass>;
    t.NewObjectV = callV<kConstructor, jobject, jclass>;
    t.CallObjectMethod = call<kInstance, jobject, jobject>;
    t.CallObjectMethodV = callV<kInstance, jobject, jobject>;
    t.CallBooleanMethod = call<kInstance, jboolean, jobject>;
    t.CallBooleanMethodV = callV<kInstance, jboolean, jobject>;
    t.CallIntMethod = call<kInstance, jint, jobject>;
    t.CallIntMethodV = callV<kInstance, jint, jobject>;
    t.CallLongMethod = call<kInstance, jlong, jobject>;
    t.CallLongMethodV = callV<kInstance, jlong, jobject>;
    t.CallVoidMethod = call<kInstance, void, jobject>;
    t.CallVoidMethodV = callV<kInstance, void, jobject>;
    t.CallStaticObjectMethod = call<kStatic, jobject, jclass>;
    t.CallStaticObjectMethodV = callV<kStatic, jobject, jclass>;
    t.CallStaticVoidMethod = call<kStatic, void, jclass>;
    t.CallStaticVoidMethodV = callV<kStatic, void, jclass>;
    return t;
}

const JNINativeInterface_ functionTable = makeFunctionTable();

// Calls entry point f with the class and `count` references, for every
// count up to the most any entry point of the table takes.
constexpr std::size_t maxArguments() {
    std::size_t most = 0;
    for (const bridge::EntryPoint& entry : bridge::kEntryPoints) {
        if (static_cast<std::size_t>(entry.arguments) > most) most = entry.arguments;
    }
    return most;
}
constexpr std::size_t kMaxArguments = maxArguments();

template <std::size_t... I>
void callWith(void* f, JNIEnv* env, jclass cls, jobject* a, std::index_sequence<I...>) {
    using Entry = void(JNICALL*)(JNIEnv*, jclass, decltype(static_cast<void>(I), jobject())...);
    reinterpret_cast<Entry>(f)(env, cls, a[I]...);
}
template <std::size_t Count>
void callWithCount(void* f, JNIEnv* env, jclass cls, jobject* a) {
    callWith(f, env, cls, a, std::make_index_sequence<Count>());
}
template <std::size_t... Count>
constexpr auto callTable(std::index_sequence<Count...>) {
    using Call = void (*)(void*, JNIEnv*, jclass, jobject*);
    return std::array<Call, sizeof...(Count)>{callWithCount<Count>...};
}
constexpr auto kCallWithCount = callTable(std::make_index_sequence<kMaxArguments + 1>());

// Serves one JVM thread's calls until it closes the connection.
void serve(SOCKET connection) {
    BridgeEnv bridgeEnv{&functionTable, connection};
    JNIEnv* env = reinterpret_cast<JNIEnv*>(&bridgeEnv);
    std::string message;
    while (bridge::recvMessage(connection, message)) {
        bridge::Reader call(message);
        if (call.u8() != bridge::kCall) break;
        unsigned entry = call.u8();
        std::uint32_t count = call.u32();
        jobject a[1 + kMaxArguments] = {};
        for (std::uint32_t i = 0; i < count && i <= kMaxArguments; ++i) a[i] = call.ref<jobject>();
        if (entry >= bridge::kEntryPointCount || !call.ok() ||
            count != 1u + bridge::kEntryPoints[entry].arguments) {
            break;
        }
        void* f = entryPoints[entry];
        if (f == nullptr) {
            if (!bridge::sendMessage(connection, bridge::Writer(bridge::kNotExported))) break;
            continue;
        }
        kCallWithCount[count - 1](f, env, static_cast<jclass>(a[0]), a + 1);
        if (!bridge::sendMessage(connection, bridge::Writer(bridge::kDone))) break;
    }
    closesocket(connection);
}

SOCKET connectTo(unsigned short port) {
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = bridge::loopback(port);
    if (s == INVALID_SOCKET || connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address)) {
        std::fprintf(stderr, "tarnwick bridge: cannot reach the JVM on port %u\n", port);
        std::exit(1);
    }
    return s;
}

int report(SOCKET control, const std::string& error) {
    bridge::Writer message(bridge::kHostError);
    message.text(error.c_str());
    bridge::sendMessage(control, message);
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    WSADATA wsa;
    if (argc != 3 || WSAStartup(MAKEWORD(2, 2), &wsa) != 0) {
        std::fprintf(stderr, "usage: bridge_host.exe DLL CONTROL_PORT\n");
        return 2;
    }
    SOCKET control = connectTo(static_cast<unsigned short>(std::atoi(argv[2])));

    HMODULE dll = LoadLibraryA(argv[1]);
    if (dll == nullptr) {
        return report(control, std::string("LoadLibrary(") + argv[1] + ") failed with error " +
                                   std::to_string(GetLastError()));
    }
    // Looked up now, but like the JVM, a missing one fails only its calls.
    for (int i = 0; i < bridge::kEntryPointCount; ++i) {
        entryPoints[i] = reinterpret_cast<void*>(GetProcAddress(dll, bridge::kEntryPoints[i].name));
    }

    SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = bridge::loopback(0);
    int size = sizeof address;
    if (listener == INVALID_SOCKET ||
        bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) ||
        listen(listener, SOMAXCONN) ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size)) {
        return report(control, "cannot listen on a loopback port");
    }
    bridge::Writer ready(bridge::kReady);
    ready.u32(ntohs(address.sin_port));
    bridge::sendMessage(control, ready);

    // The JVM is gone when the control connection closes.
    std::thread([control] {
        char byte;
        while (recv(control, &byte, 1, 0) > 0) {
        }
        std::fflush(stdout);
        ExitProcess(0);
    }).detach();

    for (;;) {
        SOCKET connection = accept(listener, nullptr, nullptr);
        if (connection == INVALID_SOCKET) continue;
        BOOL on = TRUE;
        setsockopt(connection, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on),
                   sizeof on);
        std::thread(serve, connection).detach();
    }
}

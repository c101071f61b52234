// What the two halves of the test bridge say to each other over loopback
// TCP: the JVM side (bridge_jvm.cpp, a Linux JNI library) and the host
// (bridge_host.cpp, a Windows program under wine that has tarnwick.dll
// loaded). Each message is a 32-bit length and then its bytes; the first
// byte names what it is. References, method and field IDs travel as opaque
// 64-bit values; strings and array regions as length and bytes.
#ifndef TARNWICK_TESTS_WINDOWS_BRIDGE_WIRE_H
#define TARNWICK_TESTS_WINDOWS_BRIDGE_WIRE_H

#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>

#include "entry_points.h"

#ifdef _WIN32
#include <winsock2.h>
using BridgeSocket = SOCKET;
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
using BridgeSocket = int;
#endif

namespace bridge {

enum Op : std::uint8_t {
    // On the control connection, host -> JVM side: the port for calls, or why not.
    kReady = 1,  // u32 port
    kHostError,  // text
    // JVM side -> host: u8 entry point, u32 count, then as many references
    // (the class first). The host answers kDone, kNotExported when the DLL
    // lacks that entry point, or kUnforwarded with the name of a JNI function
    // it cannot forward, after any number of:
    kCall,
    kDone,
    kNotExported,
    kUnforwarded,
    // host -> JVM side: one JNI function each, its arguments in order as
    // put() writes them; the answer starts with the same op, then the result.
    kFindClass,
    kGetMethodID,
    kGetStaticMethodID,
    kGetStaticFieldID,
    kGetStaticObjectField,
    kExceptionCheck,
    kExceptionOccurred,
    kExceptionClear,
    kThrow,
    kThrowNew,
    kDeleteLocalRef,
    kEnsureLocalCapacity,
    kIsInstanceOf,
    kNewStringUTF,
    kGetArrayLength,
    kNewByteArray,
    // These four carry what cannot travel as put() writes it:
    kGetStringUTFChars,      // ref -> u64 handle of the JVM's copy (0: failed), text
    kReleaseStringUTFChars,  // ref, u64 handle
    kGetByteArrayRegion,     // ref, start, length -> bytes (none if it threw)
    kSetByteArrayRegion,     // ref, start, bytes
    // u8 kind, u8 return type, ref, method ID, u32 count, then each argument
    // as the 8 bytes of its jvalue -> u64 result
    kInvoke,
    // host -> JVM side, in place of kInvoke: the DLL called a method with a
    // call form its return type does not allow; text says which. The call
    // ends there, as after kUnforwarded.
    kWrongCallForm,
};

// What kInvoke calls: an instance method, a static method or a constructor.
enum InvokeKind : std::uint8_t { kInstance = 0, kStatic = 1, kConstructor = 2 };

// The entry points of the table, in the order kCall numbers them, with how
// many arguments each takes after the class (all references).
struct EntryPoint {
    const char* name;
    int arguments;
};
#define TARNWICK_BRIDGE_ENTRY(name, parameters, descriptor, request, path) \
    {TARNWICK_EXPORT_PREFIX #name,                                         \
     static_cast<int>(tarnwick::entry_points::descriptorParameterCount(descriptor))},
constexpr EntryPoint kEntryPoints[] = {TARNWICK_ENTRY_POINTS(TARNWICK_BRIDGE_ENTRY)};
#undef TARNWICK_BRIDGE_ENTRY
constexpr int kEntryPointCount = sizeof kEntryPoints / sizeof kEntryPoints[0];

class Writer {
public:
    explicit Writer(Op op) { u8(op); }
    void u8(std::uint8_t v) { bytes_.push_back(static_cast<char>(v)); }
    void u32(std::uint32_t v) { bytes_.append(reinterpret_cast<const char*>(&v), sizeof v); }
    void u64(std::uint64_t v) { bytes_.append(reinterpret_cast<const char*>(&v), sizeof v); }
    template <typename Pointer>
    void ref(Pointer p) {
        u64(static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(p)));
    }
    void text(const void* data, std::size_t size) {
        u32(static_cast<std::uint32_t>(size));
        bytes_.append(static_cast<const char*>(data), size);
    }
    void text(const char* s) { text(s != nullptr ? s : "", s != nullptr ? std::strlen(s) : 0); }
    const std::string& bytes() const { return bytes_; }

private:
    std::string bytes_;
};

// Reads a message; reading past its end gives zeros and clears ok().
class Reader {
public:
    explicit Reader(const std::string& bytes) : bytes_(bytes) {}
    std::uint8_t u8() {
        std::uint8_t v = 0;
        take(&v, sizeof v);
        return v;
    }
    std::uint32_t u32() {
        std::uint32_t v = 0;
        take(&v, sizeof v);
        return v;
    }
    std::uint64_t u64() {
        std::uint64_t v = 0;
        take(&v, sizeof v);
        return v;
    }
    template <typename Pointer>
    Pointer ref() {
        return reinterpret_cast<Pointer>(static_cast<std::uintptr_t>(u64()));
    }
    std::string text() {
        std::uint32_t size = u32();
        if (size > bytes_.size() - at_) size = 0, ok_ = false;
        std::string s = bytes_.substr(at_, size);
        at_ += size;
        return s;
    }
    bool ok() const { return ok_; }

private:
    void take(void* to, std::size_t size) {
        if (bytes_.size() - at_ < size) {
            ok_ = false;
            return;
        }
        std::memcpy(to, bytes_.data() + at_, size);
        at_ += size;
    }
    const std::string& bytes_;
    std::size_t at_ = 0;
    bool ok_ = true;
};

// A JNI function's argument or result: references and IDs as opaque 64-bit
// values, text as length and bytes, integers (jint, jboolean) as u64.
template <typename T>
void put(Writer& w, T value) {
    if constexpr (std::is_pointer_v<T>) {
        w.ref(value);
    } else {
        w.u64(static_cast<std::uint64_t>(value));
    }
}
inline void put(Writer& w, const char* text) { w.text(text); }

template <typename T>
T take(Reader& r) {
    if constexpr (std::is_pointer_v<T>) {
        return r.ref<T>();
    } else {
        return static_cast<T>(r.u64());
    }
}

inline sockaddr_in loopback(unsigned short port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

inline bool sendAll(BridgeSocket s, const char* data, std::size_t size) {
    while (size > 0) {
        int sent = static_cast<int>(::send(s, data, static_cast<int>(size), 0));
        if (sent <= 0) return false;
        data += sent;
        size -= static_cast<std::size_t>(sent);
    }
    return true;
}

inline bool recvAll(BridgeSocket s, char* data, std::size_t size) {
    while (size > 0) {
        int got = static_cast<int>(::recv(s, data, static_cast<int>(size), 0));
        if (got <= 0) return false;
        data += got;
        size -= static_cast<std::size_t>(got);
    }
    return true;
}

inline bool sendMessage(BridgeSocket s, const Writer& message) {
    const std::string& bytes = message.bytes();
    std::uint32_t size = static_cast<std::uint32_t>(bytes.size());
    return sendAll(s, reinterpret_cast<const char*>(&size), sizeof size) &&
           sendAll(s, bytes.data(), bytes.size());
}

inline bool recvMessage(BridgeSocket s, std::string& bytes) {
    std::uint32_t size = 0;
    if (!recvAll(s, reinterpret_cast<char*>(&size), sizeof size)) return false;
    bytes.resize(size);
    return recvAll(s, &bytes[0], size);
}

}  // namespace bridge

#endif

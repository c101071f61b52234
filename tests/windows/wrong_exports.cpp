// A DLL that breaks the export contract on purpose, to show that
// check_dll.sh and load_dll.exe reject it: it has JNI_OnLoad, an extra
// export, and lacks loadRemoteMesh; its signIn asks the JVM for its version
// instead of checking its arguments, and its saveConfiguration calls the
// completion's void accept with CallObjectMethod. Built without the static
// C++ runtime it also imports libstdc++'s DLL.
#include <string>

#define EXPORT extern "C" __declspec(dllexport)

EXPORT int JNI_OnLoad(void*, void*) { return 0x00010008; }
EXPORT std::size_t tarnwick_debug_length(const char* text) { return std::string(text).size(); }

// GetVersion is slot 4 of the JNI function table.
using GetVersionFn = int (*)(void*);
EXPORT void Java_vardel_tarnwick_api_client_online_TarnwickServerConnectionHelper_signIn(
    void** env) {
    void* const* table = static_cast<void* const*>(*env);
    reinterpret_cast<GetVersionFn>(table[4])(env);
}

EXPORT void Java_vardel_tarnwick_api_client_online_TarnwickServerConnectionHelper_autoLogin() {}
EXPORT void Java_vardel_tarnwick_api_client_online_TarnwickServerConnectionHelper_signOut() {}
EXPORT void
Java_vardel_tarnwick_api_client_online_TarnwickServerConnectionHelper_getAvailableCosmetics() {}
// Slots 6, 33 and 34: FindClass, GetMethodID, CallObjectMethod.
using FindClassFn = void* (*)(void*, const char*);
using GetMethodIdFn = void* (*)(void*, void*, const char*, const char*);
using CallObjectMethodFn = void* (*)(void*, void*, void*, ...);
EXPORT void Java_vardel_tarnwick_api_client_online_TarnwickServerConnectionHelper_saveConfiguration(
    void** env, void*, void*, void*, void* completion) {
    void* const* table = static_cast<void* const*>(*env);
    void* biConsumer =
        reinterpret_cast<FindClassFn>(table[6])(env, "java/util/function/BiConsumer");
    void* accept = reinterpret_cast<GetMethodIdFn>(table[33])(
        env, biConsumer, "accept", "(Ljava/lang/Object;Ljava/lang/Object;)V");
    reinterpret_cast<CallObjectMethodFn>(table[34])(env, completion, accept, nullptr, nullptr);
}
EXPORT void
Java_vardel_tarnwick_api_client_online_TarnwickServerConnectionHelper_getPlayerSkinInfo() {}

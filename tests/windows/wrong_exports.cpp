// A DLL that breaks the export contract on purpose, to show that
// check_dll.sh and load_dll.exe reject it: it has JNI_OnLoad, an extra
// export, and lacks loadRemoteMesh; its signIn asks the JVM for its version
// instead of checking its arguments. Built without the static C++ runtime it
// also imports libstdc++'s DLL.
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
EXPORT void
Java_vardel_tarnwick_api_client_online_TarnwickServerConnectionHelper_saveConfiguration() {}
EXPORT void
Java_vardel_tarnwick_api_client_online_TarnwickServerConnectionHelper_getPlayerSkinInfo() {}

// Loads tarnwick.dll the way the JVM's System.loadLibrary does on Windows
// (LoadLibrary, so the loader runs DllMain), then looks up every JNI entry
// point by its undecorated name, as the JVM does when a native method is
// first called. Prints each failure and exits non-zero when there is one.
//
// Usage: load_dll.exe [path\to\tarnwick.dll]
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdio>
#include <cstring>

namespace {

const char* const kEntryPoints[] = {
    "Java_vardel_tarnwick_api_client_online_TarnwickServerConnectionHelper_autoLogin",
    "Java_vardel_tarnwick_api_client_online_TarnwickServerConnectionHelper_signIn",
    "Java_vardel_tarnwick_api_client_online_TarnwickServerConnectionHelper_signOut",
    "Java_vardel_tarnwick_api_client_online_TarnwickServerConnectionHelper_getAvailableCosmetics",
    "Java_vardel_tarnwick_api_client_online_TarnwickServerConnectionHelper_saveConfiguration",
    "Java_vardel_tarnwick_api_client_online_TarnwickServerConnectionHelper_getPlayerSkinInfo",
    "Java_vardel_tarnwick_api_client_online_TarnwickServerConnectionHelper_loadRemoteMesh",
};
const int kEntryPointCount = sizeof kEntryPoints / sizeof kEntryPoints[0];

// The JVM calls these when present (the second form for a statically linked
// library); the library must have neither.
const char* const kAbsent[] = {"JNI_OnLoad", "JNI_OnUnload", "JNI_OnLoad_tarnwick"};

int failures = 0;

void fail(const char* what, const char* name) {
    std::printf("FAIL: %s: %s\n", what, name);
    ++failures;
}

DWORD WINAPI idleThread(LPVOID) { return 7; }

}  // namespace

int main(int argc, char** argv) {
    const char* path = argc > 1 ? argv[1] : "tarnwick.dll";

    // The JVM loads a library by full path with the altered search order, so
    // that DLLs next to it are found first.
    HMODULE module = LoadLibraryExA(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (module == nullptr) {
        // ERROR_DLL_INIT_FAILED (1114) means DllMain returned FALSE;
        // ERROR_MOD_NOT_FOUND (126) a missing file or dependency.
        std::printf("FAIL: LoadLibrary(%s) failed with error %lu\n", path,
                    static_cast<unsigned long>(GetLastError()));
        return 1;
    }
    std::printf("loaded %s\n", path);

    // Entry points must be code inside this image, not forwarders into
    // another DLL, and each its own function.
    const unsigned char* base = reinterpret_cast<const unsigned char*>(module);
    const IMAGE_DOS_HEADER* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const IMAGE_NT_HEADERS* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    if (nt->FileHeader.Machine != IMAGE_FILE_MACHINE_AMD64) fail("not an x86-64 image", path);
    const unsigned char* end = base + nt->OptionalHeader.SizeOfImage;

    FARPROC found[kEntryPointCount] = {};
    for (int i = 0; i < kEntryPointCount; ++i) {
        found[i] = GetProcAddress(module, kEntryPoints[i]);
        if (found[i] == nullptr) {
            fail("entry point not found", kEntryPoints[i]);
            continue;
        }
        const unsigned char* address = reinterpret_cast<const unsigned char*>(found[i]);
        if (address < base || address >= end)
            fail("entry point outside the image", kEntryPoints[i]);
        for (int j = 0; j < i; ++j) {
            if (found[j] == found[i]) fail("entry point shares its address", kEntryPoints[i]);
        }
        std::printf("found %s at image offset 0x%lx\n", kEntryPoints[i],
                    static_cast<unsigned long>(address - base));
    }
    for (const char* name : kAbsent) {
        if (GetProcAddress(module, name) != nullptr) fail("must not be exported", name);
    }

    // A thread starting and ending while the library is loaded: DllMain has
    // turned thread notifications off, and the runtime linked into the DLL
    // must cope with that.
    HANDLE thread = CreateThread(nullptr, 0, idleThread, nullptr, 0, nullptr);
    if (thread == nullptr) {
        fail("CreateThread failed", path);
    } else {
        DWORD code = 0;
        if (WaitForSingleObject(thread, 10000) != WAIT_OBJECT_0 ||
            !GetExitCodeThread(thread, &code) || code != 7) {
            fail("a thread did not run to completion while the DLL was loaded", path);
        }
        CloseHandle(thread);
    }

    if (!FreeLibrary(module)) fail("FreeLibrary failed", path);

    if (failures != 0) {
        std::printf("%d check(s) failed for %s\n", failures, path);
        return 1;
    }
    std::printf("OK: %s loads, has all %d entry points and no JNI_OnLoad\n", path,
                kEntryPointCount);
    return 0;
}

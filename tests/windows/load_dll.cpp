// Loads tarnwick.dll the way the JVM's System.loadLibrary does on Windows
// (LoadLibrary, so the loader runs DllMain), looks up every JNI entry point by
// its undecorated name, as the JVM does when a native method is first called,
// and then calls three of them through a recording stand-in for the JNIEnv.
// The calls take argument checks that end before any Java object is needed,
// which is enough to run the DLL's own code: string copies, URL composition
// and the exception it leaves pending for the Java caller.
//
// Prints each failure and exits non-zero when there is one.
// Usage: load_dll.exe [path\to\tarnwick.dll]
#define WIN32_LEAN_AND_MEAN
#include <jni.h>
#include <windows.h>

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <utility>

namespace {

const char kPrefix[] = "Java_vardel_tarnwick_api_client_online_TarnwickServerConnectionHelper_";

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

// --- A JNIEnv that records what the library asks of it ----------------------

// What one call did to the environment.
struct Recording {
    int utfCopies = 0;    // GetStringUTFChars
    int utfReleases = 0;  // ReleaseStringUTFChars
    int throws = 0;       // ThrowNew
    char thrownClass[128] = "";
    char thrownMessage[256] = "";
    char lastFoundClass[128] = "";
    int unexpectedSlot = -1;  // first function-table slot the stand-in lacks
};
Recording recording;

void copyText(char* to, std::size_t size, const char* from) {
    std::snprintf(to, size, "%s", from != nullptr ? from : "(null)");
}

// Any slot not filled in below: a function the recorded calls must not need.
// It gets the environment pointer first like every JNI function; on x86-64
// any further arguments are simply left unread.
template <std::size_t Slot>
void* JNICALL unexpectedCall(JNIEnv*) {
    if (recording.unexpectedSlot < 0) recording.unexpectedSlot = static_cast<int>(Slot);
    return nullptr;
}

int classToken;  // the one class "reference" handed out

jclass JNICALL findClass(JNIEnv*, const char* name) {
    copyText(recording.lastFoundClass, sizeof recording.lastFoundClass, name);
    return reinterpret_cast<jclass>(&classToken);
}

jint JNICALL throwNew(JNIEnv*, jclass cls, const char* message) {
    ++recording.throws;
    copyText(recording.thrownClass, sizeof recording.thrownClass,
             cls == reinterpret_cast<jclass>(&classToken) ? recording.lastFoundClass
                                                          : "(unknown class)");
    copyText(recording.thrownMessage, sizeof recording.thrownMessage, message);
    return 0;
}

jboolean JNICALL exceptionCheck(JNIEnv*) { return recording.throws > 0 ? JNI_TRUE : JNI_FALSE; }

// A "jstring" here is the address of its NUL-terminated text.
const char* JNICALL getStringUtfChars(JNIEnv*, jstring string, jboolean* isCopy) {
    ++recording.utfCopies;
    if (isCopy != nullptr) *isCopy = JNI_TRUE;
    return reinterpret_cast<const char*>(string);
}

void JNICALL releaseStringUtfChars(JNIEnv*, jstring, const char*) { ++recording.utfReleases; }

void JNICALL deleteLocalRef(JNIEnv*, jobject) {}

const std::size_t kSlotCount = sizeof(JNINativeInterface_) / sizeof(void*);

template <std::size_t... Slots>
void fillWithUnexpected(JNINativeInterface_& table, std::index_sequence<Slots...>) {
    unsigned char* bytes = reinterpret_cast<unsigned char*>(&table);
    void* pointers[] = {reinterpret_cast<void*>(&unexpectedCall<Slots>)...};
    std::memcpy(bytes, pointers, sizeof pointers);
}

JNINativeInterface_ makeFunctionTable() {
    JNINativeInterface_ table;
    fillWithUnexpected(table, std::make_index_sequence<kSlotCount>());
    table.FindClass = findClass;
    table.ThrowNew = throwNew;
    table.ExceptionCheck = exceptionCheck;
    table.GetStringUTFChars = getStringUtfChars;
    table.ReleaseStringUTFChars = releaseStringUtfChars;
    table.DeleteLocalRef = deleteLocalRef;
    return table;
}

const JNINativeInterface_ functionTable = makeFunctionTable();

jstring javaString(const char* text) { return reinterpret_cast<jstring>(const_cast<char*>(text)); }

// Checks that a call left exactly one pending exception of the given class
// and message, and released every string copy it made.
void expectPending(const char* what, int copies, const char* className, const char* message) {
    if (recording.unexpectedSlot >= 0) {
        std::printf("FAIL: %s called JNI function table slot %d, which the check does not expect\n",
                    what, recording.unexpectedSlot);
        ++failures;
    }
    if (recording.throws != 1 || std::strcmp(recording.thrownClass, className) != 0 ||
        std::strcmp(recording.thrownMessage, message) != 0) {
        std::printf("FAIL: %s: expected one %s(\"%s\"), got %d throw(s), last %s(\"%s\")\n", what,
                    className, message, recording.throws, recording.thrownClass,
                    recording.thrownMessage);
        ++failures;
    }
    if (recording.utfCopies != copies || recording.utfReleases != copies) {
        std::printf(
            "FAIL: %s: expected %d string copies, each released; got %d copies, %d "
            "releases\n",
            what, copies, recording.utfCopies, recording.utfReleases);
        ++failures;
    }
    if (recording.unexpectedSlot < 0 && recording.throws == 1 && recording.utfCopies == copies &&
        recording.utfReleases == copies) {
        std::printf("called %s: %s(\"%s\") pending, %d string copies released\n", what,
                    recording.thrownClass, recording.thrownMessage, copies);
    }
}

using SignInFn = void(JNICALL*)(JNIEnv*, jclass, jstring, jstring, jstring, jobject);
using LoadRemoteMeshFn = void(JNICALL*)(JNIEnv*, jclass, jstring, jstring, jobject);

void callEntryPoints(FARPROC signInAddress, FARPROC loadRemoteMeshAddress) {
    JNIEnv env;
    env.functions = &functionTable;
    jclass helper = reinterpret_cast<jclass>(&classToken);

    if (signInAddress != nullptr) {
        SignInFn signIn = reinterpret_cast<SignInFn>(reinterpret_cast<void*>(signInAddress));
        recording = Recording();
        signIn(&env, helper, javaString("http://127.0.0.1:9"), javaString("uuid-1"),
               javaString("code-1"), nullptr);
        expectPending("signIn(url, uuid, code, null)", 3, "java/lang/NullPointerException",
                      "completion is null");
    }
    if (loadRemoteMeshAddress != nullptr) {
        LoadRemoteMeshFn loadRemoteMesh =
            reinterpret_cast<LoadRemoteMeshFn>(reinterpret_cast<void*>(loadRemoteMeshAddress));
        recording = Recording();
        loadRemoteMesh(&env, helper, nullptr, javaString("model-1"),
                       reinterpret_cast<jobject>(&classToken));
        expectPending("loadRemoteMesh(null, name, completion)", 0, "java/lang/NullPointerException",
                      "baseUrl is null");

        recording = Recording();
        loadRemoteMesh(&env, helper, javaString("http://127.0.0.1:9"), javaString("model-1"),
                       nullptr);
        expectPending("loadRemoteMesh(url, name, null)", 2, "java/lang/NullPointerException",
                      "completion is null");
    }
}

}  // namespace

int main(int argc, char** argv) {
    const char* path = argc > 1 ? argv[1] : "tarnwick.dll";

    // The JVM hands the loader the library's full path; so does the stage
    // script that runs this program.
    HMODULE module = LoadLibraryA(path);
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
    FARPROC signIn = nullptr;
    FARPROC loadRemoteMesh = nullptr;
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
        const char* shortName = kEntryPoints[i] + sizeof kPrefix - 1;
        std::printf("found %s at image offset 0x%lx\n", shortName,
                    static_cast<unsigned long>(address - base));
        if (std::strcmp(shortName, "signIn") == 0) signIn = found[i];
        if (std::strcmp(shortName, "loadRemoteMesh") == 0) loadRemoteMesh = found[i];
    }
    for (const char* name : kAbsent) {
        if (GetProcAddress(module, name) != nullptr) fail("must not be exported", name);
    }

    callEntryPoints(signIn, loadRemoteMesh);

    // A thread starting and ending while the library is loaded: DllMain has
    // asked for no thread notifications, and the runtime linked into the DLL
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

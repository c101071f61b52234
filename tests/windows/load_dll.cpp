// Loads tarnwick.dll the way the JVM's System.loadLibrary does on Windows
// (LoadLibrary, so the loader runs DllMain), looks up every JNI entry point by
// its undecorated name, as the JVM does when a native method is first called
// (every entry point of jni/entry_points.h), and then makes three calls, of
// signIn and loadRemoteMesh, through a recording stand-in for the JNIEnv.
// The calls take argument checks that end before any Java object is needed,
// which is enough to run the DLL's own code: string copies, URL composition
// and the exception it leaves pending for the Java caller.
//
// It also checks what DllMain's DisableThreadLibraryCalls gets from Windows
// for this image (refused: the image has a TLS directory), that threads
// started and ended while the DLL is loaded run its code normally, and,
// given the expected version, the DLL's version resource.
//
// Prints each failure and exits non-zero when there is one.
// Usage: load_dll.exe [path\to\tarnwick.dll [expected version, e.g. 0.1.0]]
#define WIN32_LEAN_AND_MEAN
#include <jni.h>
#include <windows.h>

#include <atomic>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <memory>
#include <utility>

#include "entry_points.h"

namespace {

const char kPrefix[] = TARNWICK_EXPORT_PREFIX;

const char* const kEntryPoints[] = {
#define TARNWICK_EXPORT_NAME(name, parameters, descriptor, request, path) \
    TARNWICK_EXPORT_PREFIX #name,
    TARNWICK_ENTRY_POINTS(TARNWICK_EXPORT_NAME)
#undef TARNWICK_EXPORT_NAME
};
const int kEntryPointCount = sizeof kEntryPoints / sizeof kEntryPoints[0];

// The JVM calls these when present (the second form for a statically linked
// library); the library must have neither.
const char* const kAbsent[] = {"JNI_OnLoad", "JNI_OnUnload", "JNI_OnLoad_tarnwick"};

std::atomic<int> failures{0};

void fail(const char* what, const char* name) {
    std::printf("FAIL: %s: %s\n", what, name);
    ++failures;
}

// --- A JNIEnv that records what the library asks of it ----------------------

// What one call did to the environment. Each thread records its own calls.
struct Recording {
    int utfCopies = 0;    // GetStringUTFChars
    int utfReleases = 0;  // ReleaseStringUTFChars
    int throws = 0;       // ThrowNew
    char thrownClass[128] = "";
    char thrownMessage[256] = "";
    char lastFoundClass[128] = "";
    int unexpectedSlot = -1;  // first function-table slot the stand-in lacks
};
thread_local Recording recording;

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
// and message, and released every string copy it made. Returns whether it did.
bool expectPending(const char* what, int copies, const char* className, const char* message,
                   bool quiet = false) {
    const int failuresBefore = failures;
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
    const bool passed = failures == failuresBefore;
    if (passed && !quiet) {
        std::printf("called %s: %s(\"%s\") pending, %d string copies released\n", what,
                    recording.thrownClass, recording.thrownMessage, copies);
    }
    return passed;
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

// A thread started after the load: calls an entry point (string copies, URL
// composition, a pending exception), then ends. Exit code 7 means the call
// did what it does on the main thread.
DWORD WINAPI entryPointThread(LPVOID address) {
    LoadRemoteMeshFn loadRemoteMesh = reinterpret_cast<LoadRemoteMeshFn>(address);
    JNIEnv env;
    env.functions = &functionTable;
    recording = Recording();
    loadRemoteMesh(&env, reinterpret_cast<jclass>(&classToken), javaString("http://127.0.0.1:9"),
                   javaString("model-1"), nullptr);
    return expectPending("loadRemoteMesh(url, name, null) on a new thread", 2,
                         "java/lang/NullPointerException", "completion is null", true)
               ? 7
               : 1;
}

// Several threads at once, each started and ended while the DLL is loaded.
// The DLL gets their attach and detach notifications (see checkThreadCalls),
// and the runtime linked into it sets up and tears down its per-thread state.
void runThreads(FARPROC loadRemoteMesh, const char* path) {
    if (loadRemoteMesh == nullptr) return;
    const int kThreads = 4;
    const int kRounds = 8;
    int completed = 0;
    for (int round = 0; round < kRounds; ++round) {
        HANDLE threads[kThreads] = {};
        for (HANDLE& thread : threads) {
            thread = CreateThread(nullptr, 0, entryPointThread,
                                  reinterpret_cast<LPVOID>(loadRemoteMesh), 0, nullptr);
            if (thread == nullptr) fail("CreateThread failed", path);
        }
        for (HANDLE thread : threads) {
            if (thread == nullptr) continue;
            DWORD code = 0;
            if (WaitForSingleObject(thread, 10000) == WAIT_OBJECT_0 &&
                GetExitCodeThread(thread, &code) && code == 7) {
                ++completed;
            }
            CloseHandle(thread);
        }
    }
    if (completed != kThreads * kRounds) {
        std::printf("FAIL: %d of %d threads started after the load ran the entry point normally\n",
                    completed, kThreads * kRounds);
        ++failures;
    } else {
        std::printf(
            "%d threads started and ended while %s was loaded, each calling an entry point\n",
            completed, path);
    }
}

// DllMain calls DisableThreadLibraryCalls and goes on whatever the answer.
// Windows refuses it for an image with static TLS, which every MinGW-w64 DLL
// has: its runtime's per-thread cleanup runs from the TLS directory's
// callbacks. The same call made here gets the answer DllMain got.
void checkThreadCalls(HMODULE module, const IMAGE_NT_HEADERS* nt, const char* path) {
    const IMAGE_DATA_DIRECTORY& tls = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_TLS];
    const bool hasTls = tls.VirtualAddress != 0 && tls.Size != 0;
    SetLastError(0);
    const BOOL disabled = DisableThreadLibraryCalls(module);
    const DWORD error = GetLastError();
    std::printf("the image %s a TLS directory; DisableThreadLibraryCalls returns %s (error %lu)\n",
                hasTls ? "has" : "has no", disabled ? "TRUE" : "FALSE",
                static_cast<unsigned long>(error));
    if (!hasTls) fail("no TLS directory, so DisableThreadLibraryCalls would succeed", path);
    if (disabled) fail("DisableThreadLibraryCalls succeeded for an image with static TLS", path);
}

// One string of the version resource's U.S. English, Unicode table.
const wchar_t* versionString(const void* data, const wchar_t* name) {
    wchar_t query[64];
    std::swprintf(query, sizeof query / sizeof query[0], L"\\StringFileInfo\\040904B0\\%ls", name);
    void* value = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(data, query, &value, &length) || length == 0) return nullptr;
    return static_cast<const wchar_t*>(value);
}

// The version resource, as Explorer's Details tab shows it: the numeric
// file and product versions and the strings, against the version expected.
void checkVersionResource(const char* path, const char* expected) {
    unsigned major = 0, minor = 0, patch = 0;
    if (std::sscanf(expected, "%u.%u.%u", &major, &minor, &patch) < 2) {
        fail("expected version is not N.N[.N]", expected);
        return;
    }
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(path, &ignored);
    if (size == 0) {
        fail("no version resource", path);
        return;
    }
    std::unique_ptr<unsigned char[]> data(new unsigned char[size]);
    if (!GetFileVersionInfoA(path, 0, size, data.get())) {
        fail("GetFileVersionInfo failed", path);
        return;
    }
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT fixedLength = 0;
    if (!VerQueryValueW(data.get(), L"\\", reinterpret_cast<void**>(&fixed), &fixedLength) ||
        fixedLength < sizeof(VS_FIXEDFILEINFO) || fixed->dwSignature != VS_FFI_SIGNATURE) {
        fail("version resource has no fixed file info", path);
        return;
    }
    const DWORD wantMs = MAKELONG(minor, major);
    const DWORD wantLs = MAKELONG(0, patch);
    if (fixed->dwFileVersionMS != wantMs || fixed->dwFileVersionLS != wantLs ||
        fixed->dwProductVersionMS != wantMs || fixed->dwProductVersionLS != wantLs) {
        std::printf(
            "FAIL: version resource: file %u.%u.%u.%u, product %u.%u.%u.%u, expected %s.0\n",
            HIWORD(fixed->dwFileVersionMS), LOWORD(fixed->dwFileVersionMS),
            HIWORD(fixed->dwFileVersionLS), LOWORD(fixed->dwFileVersionLS),
            HIWORD(fixed->dwProductVersionMS), LOWORD(fixed->dwProductVersionMS),
            HIWORD(fixed->dwProductVersionLS), LOWORD(fixed->dwProductVersionLS), expected);
        ++failures;
    }
    if (fixed->dwFileType != VFT_DLL) fail("version resource: file type is not VFT_DLL", path);

    wchar_t expectedWide[64];
    std::swprintf(expectedWide, sizeof expectedWide / sizeof expectedWide[0], L"%hs", expected);
    struct Field {
        const wchar_t* name;
        const wchar_t* exactly;  // nullptr: any text
    };
    const Field fields[] = {
        {L"FileVersion", expectedWide},
        {L"ProductVersion", expectedWide},
        {L"OriginalFilename", L"tarnwick.dll"},
        {L"FileDescription", nullptr},
        {L"InternalName", nullptr},
        {L"ProductName", nullptr},
        {L"LegalCopyright", nullptr},
    };
    for (const Field& field : fields) {
        const wchar_t* value = versionString(data.get(), field.name);
        if (value == nullptr || value[0] == L'\0') {
            std::printf("FAIL: version resource: no %ls\n", field.name);
            ++failures;
        } else if (field.exactly != nullptr && std::wcscmp(value, field.exactly) != 0) {
            std::printf("FAIL: version resource: %ls is \"%ls\", expected \"%ls\"\n", field.name,
                        value, field.exactly);
            ++failures;
        } else {
            std::printf("version resource: %ls \"%ls\"\n", field.name, value);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    const char* path = argc > 1 ? argv[1] : "tarnwick.dll";
    const char* expectedVersion = argc > 2 ? argv[2] : nullptr;

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
    checkThreadCalls(module, nt, path);
    runThreads(loadRemoteMesh, path);
    if (expectedVersion != nullptr) checkVersionResource(path, expectedVersion);

    if (!FreeLibrary(module)) fail("FreeLibrary failed", path);

    if (failures != 0) {
        std::printf("%d check(s) failed for %s\n", failures.load(), path);
        return 1;
    }
    std::printf("OK: %s loads, has all %d entry points and no JNI_OnLoad\n", path,
                kEntryPointCount);
    return 0;
}

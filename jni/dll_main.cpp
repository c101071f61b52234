// Load-time hook. On Windows the library asks not to be told of every thread
// the JVM starts or ends: its own code keeps no per-thread state. There is
// no JNI_OnLoad: the library needs nothing at load time.
//
// Windows declines that request for this DLL, and that is fine. The C and
// C++ runtimes are linked in statically (so the DLL needs no MinGW DLLs
// next to it), and that runtime keeps per-thread state (winpthreads' thread
// data, emulated thread-locals, the C++ exception globals) that it frees
// from thread-detach callbacks in the image's TLS directory. Windows refuses
// DisableThreadLibraryCalls for any image with static TLS, so the
// notifications keep coming, DllMain returns TRUE for each, and the runtime
// cleans up after every JVM thread that ends. The loader test under wine
// checks both the refusal and threads started and ended after the load.
#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID /*reserved*/) {
    // The answer (FALSE for this image) changes nothing: load either way.
    if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(module);
    return TRUE;
}

#if defined(__GLIBCXX__)
// MinGW builds link their own static copy of libstdc++. Its default
// std::terminate handler prints the demangled type of the escaping exception
// to stderr, and so drags the whole C++ demangler and a printf engine into
// the DLL, close to a third of its size. The JVM hosting the library has no
// console to show that line, and no entry point lets an exception escape, so
// this copy's handler just aborts. The definition here takes the place of
// libstdc++'s own (the linker then never pulls that archive member in); it
// is private to this DLL and changes nothing for other modules.
#include <cstdlib>
#include <exception>

namespace __gnu_cxx {
void __verbose_terminate_handler() { std::abort(); }
}  // namespace __gnu_cxx
#endif
#endif

// Stand-ins for the few glibc symbols that the static libstdc++ and libgcc of
// the build machine would otherwise bind to glibc versions newer than 2.17.
// tarnwick_make_portable (cmake/PortableLinux.cmake) links them into whatever
// it makes portable, routing the references here with the linker's --wrap:
// the portable library, its fault-injection copy for the tests, and the test
// of this file. They are hidden, so no other module in the process sees them.
//
//   _dl_find_object (2.35)         libgcc's unwinder: answered with dl_iterate_phdr.
//   __libc_single_threaded (2.32)  libstdc++'s reference counts and static-local
//                                  guards: a constant "not known to be single
//                                  threaded", so they always take the atomic path.
//   pthread_once, __pthread_key_create (2.34: moved from libpthread into libc)
//                                  bound to their first versions, GLIBC_2.2.5 on
//                                  x86-64 and GLIBC_2.17 on aarch64, which every
//                                  glibc provides (before 2.34 from libpthread,
//                                  which every JVM on such a system has loaded).
#if defined(__linux__) && defined(__x86_64__)
#define TARNWICK_GLIBC_FIRST "GLIBC_2.2.5"
#elif defined(__linux__) && defined(__aarch64__)
// glibc's first release for aarch64.
#define TARNWICK_GLIBC_FIRST "GLIBC_2.17"
#else
#error "glibc_compat.cpp is for the x86-64 and aarch64 Linux libraries only"
#endif

#include <dlfcn.h>
#include <link.h>
#include <pthread.h>

#include <cstddef>
#include <cstdint>

#define TARNWICK_HIDDEN __attribute__((visibility("hidden")))

extern "C" {

// The first versions of the two thread functions.
int tarnwick_pthread_once_first(pthread_once_t* once, void (*init)());
int tarnwick_pthread_key_create_first(pthread_key_t* key, void (*destroy)(void*));
__asm__(".symver tarnwick_pthread_once_first, pthread_once@" TARNWICK_GLIBC_FIRST);
__asm__(".symver tarnwick_pthread_key_create_first, __pthread_key_create@" TARNWICK_GLIBC_FIRST);

TARNWICK_HIDDEN int __wrap_pthread_once(pthread_once_t* once, void (*init)()) {
    return tarnwick_pthread_once_first(once, init);
}

TARNWICK_HIDDEN int __wrap___pthread_key_create(pthread_key_t* key, void (*destroy)(void*)) {
    return tarnwick_pthread_key_create_first(key, destroy);
}

// libstdc++ skips atomic operations only when this is non-zero. A JVM always
// runs several threads, so zero is also the true answer.
TARNWICK_HIDDEN char __wrap___libc_single_threaded = 0;

}  // extern "C"

namespace {

struct FindObject {
    std::uintptr_t address;
    dl_find_object* result;
    bool found;
};

// Called for each loaded object; stops at the one with a loaded segment that
// holds the address.
int findObjectHolding(dl_phdr_info* info, std::size_t, void* data) {
    auto* request = static_cast<FindObject*>(data);
    std::uintptr_t low = UINTPTR_MAX;
    std::uintptr_t high = 0;
    std::uintptr_t ehFrame = 0;
    bool holds = false;
    for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& segment = info->dlpi_phdr[i];
        std::uintptr_t start = info->dlpi_addr + segment.p_vaddr;
        if (segment.p_type == PT_LOAD) {
            std::uintptr_t end = start + segment.p_memsz;
            if (start < low) low = start;
            if (end > high) high = end;
            if (request->address >= start && request->address < end) holds = true;
        } else if (segment.p_type == PT_GNU_EH_FRAME) {
            ehFrame = start;
        }
    }
    if (!holds) return 0;
    dl_find_object* result = request->result;
    result->dlfo_flags = 0;
    result->dlfo_map_start = reinterpret_cast<void*>(low);
    result->dlfo_map_end = reinterpret_cast<void*>(high);
    // Finding the link map would take dladdr1 and with it libdl on older
    // systems; the unwinder reads only the frame header.
    result->dlfo_link_map = nullptr;
    result->dlfo_eh_frame = reinterpret_cast<void*>(ehFrame);
    request->found = true;
    return 1;
}

}  // namespace

extern "C" TARNWICK_HIDDEN int __wrap__dl_find_object(void* address, dl_find_object* result) {
    FindObject request{reinterpret_cast<std::uintptr_t>(address), result, false};
    dl_iterate_phdr(findObjectHolding, &request);
    return request.found ? 0 : -1;
}

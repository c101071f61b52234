// Checks platform/linux/glibc_compat.cpp in a program linked the way the portable
// library is (static C++ runtime, the same --wrap options): glibc's own
// _dl_find_object is the oracle for ours, and C++ exceptions, whose unwinder
// now finds its tables through ours, must still be caught. No GoogleTest: it
// is built against the shared C++ runtime and cannot share a program with a
// static one.
#include <dlfcn.h>
#include <pthread.h>

#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>

extern "C" int __wrap__dl_find_object(void* address, dl_find_object* result);
extern "C" int __real__dl_find_object(void* address, dl_find_object* result);
extern "C" int __wrap_pthread_once(pthread_once_t* once, void (*init)());

namespace {

int failures = 0;

void check(bool ok, const std::string& what) {
    if (!ok) {
        std::fprintf(stderr, "FAIL: %s\n", what.c_str());
        ++failures;
    }
}

void compareWithGlibc(const char* what, void* address) {
    dl_find_object ours{}, theirs{};
    int ourStatus = __wrap__dl_find_object(address, &ours);
    int theirStatus = __real__dl_find_object(address, &theirs);
    check(ourStatus == theirStatus, std::string(what) + ": status " + std::to_string(ourStatus) +
                                        ", glibc " + std::to_string(theirStatus));
    if (ourStatus != 0 || theirStatus != 0) return;
    check(ours.dlfo_eh_frame == theirs.dlfo_eh_frame, std::string(what) + ": eh_frame differs");
    // glibc rounds the mapping out to whole pages. For an aarch64 program
    // (segments aligned to 64 KiB) glibc 2.36 under qemu-aarch64 ends the main
    // program's mapping after its first segment, while ours spans all of
    // them: both must still hold the address. The unwinder reads only the
    // frame header.
    check(theirs.dlfo_map_start <= ours.dlfo_map_start && ours.dlfo_map_start <= address,
          std::string(what) + ": mapping start");
    check(address < ours.dlfo_map_end && address < theirs.dlfo_map_end,
          std::string(what) + ": mapping end");
#if defined(__x86_64__)
    check(ours.dlfo_map_end <= theirs.dlfo_map_end,
          std::string(what) + ": mapping end past glibc's");
#endif
}

__attribute__((noinline)) void throwFrom(int depth) {
    if (depth == 0) throw std::runtime_error("from depth 0");
    throwFrom(depth - 1);
    std::fprintf(stderr, "unreachable\n");
}

int onceCount = 0;
void countOnce() { ++onceCount; }

}  // namespace

int main() {
    int local = 0;
    compareWithGlibc("this program", reinterpret_cast<void*>(&compareWithGlibc));
    compareWithGlibc("libc", dlsym(RTLD_DEFAULT, "printf"));
    compareWithGlibc("the stack", &local);

    std::string caught;
    try {
        throwFrom(5);
    } catch (const std::exception& e) {
        caught = e.what();
    }
    check(caught == "from depth 0", "exception caught: \"" + caught + "\"");

    pthread_once_t once = PTHREAD_ONCE_INIT;
    __wrap_pthread_once(&once, countOnce);
    __wrap_pthread_once(&once, countOnce);
    check(onceCount == 1, "pthread_once ran its function " + std::to_string(onceCount) + " times");

    if (failures == 0) std::printf("glibc compat: all checks passed\n");
    return failures == 0 ? 0 : 1;
}

// Allocation failure on demand, for exercising the boundary's handling of
// std::bad_alloc. Only the fault-injection copy of the library that the Java
// tests build sees this file (through jni/fault_point.h); the shipped library
// has an empty inline function in its place.
#ifndef TARNWICK_TEST_HOOKS_FAULT_INJECTION_H
#define TARNWICK_TEST_HOOKS_FAULT_INJECTION_H

#include <cstdlib>
#include <new>

namespace tarnwick {

// Called where an entry point is about to allocate (the URL). Throws
// std::bad_alloc while the environment variable TARNWICK_FAIL_ALLOCATION is
// set.
inline void allocationFaultPoint() {
    if (std::getenv("TARNWICK_FAIL_ALLOCATION") != nullptr) throw std::bad_alloc();
}

}  // namespace tarnwick

#endif

// Allocation failure on demand, for exercising the boundary's handling of
// std::bad_alloc. Only the fault-injection copy of the library that the Java
// tests build defines TARNWICK_FAULT_INJECTION; everywhere else the hook is
// an empty inline function and leaves no trace in the object code.
#ifndef TARNWICK_TEST_HOOKS_FAULT_INJECTION_H
#define TARNWICK_TEST_HOOKS_FAULT_INJECTION_H

#ifdef TARNWICK_FAULT_INJECTION
#include <cstdlib>
#include <new>
#endif

namespace tarnwick {

// Called where an entry point is about to allocate (the URL). In the
// fault-injection copy, throws std::bad_alloc while the environment variable
// TARNWICK_FAIL_ALLOCATION is set.
inline void allocationFaultPoint() {
#ifdef TARNWICK_FAULT_INJECTION
    if (std::getenv("TARNWICK_FAIL_ALLOCATION") != nullptr) throw std::bad_alloc();
#endif
}

}  // namespace tarnwick

#endif

// The points where the tests' fault-injection copy of the library makes an
// entry point fail on demand. Only that copy is built with
// TARNWICK_FAULT_INJECTION and has tests/hooks on its include path; in the
// shipped library each point is an empty inline function.
#ifndef TARNWICK_JNI_FAULT_POINT_H
#define TARNWICK_JNI_FAULT_POINT_H

#ifdef TARNWICK_FAULT_INJECTION
#include "fault_injection.h"
#else
namespace tarnwick {
inline void allocationFaultPoint() {}
}  // namespace tarnwick
#endif

#endif

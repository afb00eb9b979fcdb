// The guard around our calls into Python code (a __float__, a module global).
// Such code may call sort again, and each round through our frames takes
// more C stack than a round of the interpreter's own calls.
#pragma once

#include <Python.h>

#include "boundary/refs.hpp"

namespace velmora {

// Refuses the call where too little of this thread's C stack is left for
// another round through our frames, which the interpreter does not check
// before 3.14. Up to 3.11 the call also counts against the recursion limit,
// as the interpreter's own calls from C do there (Py_EnterRecursiveCall);
// from 3.12 on that limit counts Python frames alone, and the interpreter
// counts the C calls that the call itself makes. Either way a refused call
// raises RecursionError: the constructor throws PythonError.
class PythonCallGuard {
  public:
    PythonCallGuard();
    ~PythonCallGuard() {
#if PY_VERSION_HEX < 0x030C0000
        Py_LeaveRecursiveCall();
#endif
    }
    PythonCallGuard(const PythonCallGuard&) = delete;
    PythonCallGuard& operator=(const PythonCallGuard&) = delete;
};

}  // namespace velmora

// The guard around our calls into Python code (a __float__, a module global).
// Such code may call sort again, and each round through our frames takes
// more C stack than a round of the interpreter's own calls.
#pragma once

#include <Python.h>

#include "boundary/refs.hpp"

namespace velmora {

// Counts the call as the interpreter counts its own (Py_EnterRecursiveCall),
// and refuses it where too little of this thread's C stack is left for
// another round through our frames, which the interpreter does not check
// before 3.14. Either way the call raises RecursionError instead of running:
// the constructor throws PythonError.
class PythonCallGuard {
  public:
    PythonCallGuard();
    ~PythonCallGuard() { Py_LeaveRecursiveCall(); }
    PythonCallGuard(const PythonCallGuard&) = delete;
    PythonCallGuard& operator=(const PythonCallGuard&) = delete;
};

}  // namespace velmora

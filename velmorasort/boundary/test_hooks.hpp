// Hooks that only the test build (VELMORASORT_FAULT_INJECTION) installs in the
// module globals; the shipped build installs nothing.
#pragma once

#include <Python.h>

namespace velmora {

// 0, or -1 with an exception.
int install_test_hooks(PyObject* globals);

}  // namespace velmora

// Late-bound lookup of module globals and builtins, and calling what is found.
#pragma once

#include <Python.h>

#include "boundary/refs.hpp"

namespace velmora {

// The attribute `name` of builtins. NameError "name '...' is not defined"
// when it is missing. Throws PythonError on failure.
OwnedRef builtin_lookup(PyObject* name);

// The module global `name` as it is now, else the builtin of that name.
// Throws PythonError on failure.
OwnedRef module_global_lookup(PyObject* name);

// Calls `callable` with `arg` (or no argument when NULL) and no keywords; a
// bound method is unpacked into its function with the bound object first.
// Throws PythonError on failure.
OwnedRef call_object(PyObject* callable, PyObject* arg);

}  // namespace velmora

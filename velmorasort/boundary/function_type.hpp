// The function type of sort and supersort: a native callable that looks and
// behaves, seen from Python, like a Python function.
#pragma once

#include <Python.h>

namespace velmora {

// Makes the type ready; 0 or -1 with an exception.
int ready_function_type();

// A new function object for `method` (METH_FASTCALL | METH_KEYWORDS), or NULL
// with an exception. `defaults` may be NULL.
PyObject* new_function(PyMethodDef* method, PyObject* qualname, PyObject* module_name,
                       PyObject* globals, PyObject* code, PyObject* defaults);

// True when `obj` is a function object of this type (not a subclass's) that
// calls `method`.
bool calls_method(PyObject* obj, const PyMethodDef* method) noexcept;

}  // namespace velmora

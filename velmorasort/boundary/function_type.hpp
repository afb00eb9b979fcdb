// The function type of sort and supersort: a native callable that looks and
// behaves, seen from Python, like a Python function.
#pragma once

#include <Python.h>

#include "boundary/code_objects.hpp"

namespace velmora {

// Makes the type ready for the running runtime. The type (borrowed), or NULL
// with an exception.
PyTypeObject* ready_function_type();

// After a runtime has ended (no C API call): the type made fit for the next
// runtime to ready.
void forget_function_type() noexcept;

// A new function object of `type` (the readied type) for `method`
// (METH_FASTCALL | METH_KEYWORDS), whose __code__ has `layout` (static), or
// NULL with an exception. `defaults` may be NULL.
PyObject* new_function(PyTypeObject* type, PyMethodDef* method, PyObject* qualname, PyObject* module_name,
                       PyObject* globals, const CodeLayout* layout, PyObject* defaults);

// True when `obj` is a function object of the module's type (not a
// subclass's) that calls `method`.
bool calls_method(PyObject* obj, const PyMethodDef* method) noexcept;

// Clears `obj` as the cyclic collector would (for the test build's hook).
// 0, or -1 with TypeError when it is no function object of the module's.
int clear_function(PyObject* obj);

}  // namespace velmora

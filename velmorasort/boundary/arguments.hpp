// Argument binding for the fast calling convention with keywords, the keyword
// check, and the C int conversion.
#pragma once

#include <Python.h>

namespace velmora {

// What the binder needs to know of a function's parameters.
struct Signature {
    const char* name;            // plain name, for messages
    const char* qualname;        // for the traceback entry of a binding failure
    int definition_line;         // line of the entry's definition
    Py_ssize_t parameter_count;  // all positional-or-keyword
    Py_ssize_t required_count;   // the leading required ones
    PyObject* const* parameter_names;   // interned, in declaration order
};

// Binds args[0, nargs) and the keyword arguments (names in kwnames, values
// following the positional ones in args) to values[0, parameter_count);
// unbound optional parameters stay NULL. On failure sets the exception, adds
// the function's traceback entry and throws PythonError.
void bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** values);

// An object as a 32-bit signed int: -1 with an exception pending on failure
// (-1 without one is the value -1).
int as_c_int(PyObject* obj);

// Type test of a list parameter: exactly a list or None. On failure sets the
// TypeError (no traceback entry) and throws PythonError.
void require_list_or_none(PyObject* obj, const char* parameter_name);

}  // namespace velmora

// The code objects of sort and supersort: what introspection reads for their
// signatures, and what runs when someone makes a Python function of one.
#pragma once

#include <Python.h>

#include <cstddef>

namespace velmora {

// A Python function's shape: its name, the line of `file` that defines it,
// and its variables, the first `argcount` of them positional parameters.
struct CodeLayout {
    const char* name;
    const char* file;
    int first_line;
    int argcount;
    const char* const* variables;
    std::size_t variable_count;
};

// The code object of a function of that layout whose body binds the other
// variables, in order, and calls the module global `name` of
// velmorasort.VelmoraSort, as an import finds it, with its arguments. New
// reference, or NULL with an exception.
PyObject* new_signature_code(const CodeLayout& layout);

}  // namespace velmora

// The code objects of sort and supersort: what introspection reads for their
// signatures, and what runs when someone makes a Python function of one.
#pragma once

#include <Python.h>

#include <initializer_list>

namespace velmora {

// The code object of a Python function `name` defined at line `first_line`
// of `file`, taking the first `argcount` of `variables` as its positional
// parameters and binding the rest, in order, as locals. Run as a function,
// it calls the module global `name` of velmorasort.VelmoraSort, as an import
// finds it, with its arguments. New reference, or NULL with an exception.
PyObject* new_signature_code(const char* name, int argcount, std::initializer_list<const char*> variables,
                             const char* file, int first_line);

}  // namespace velmora

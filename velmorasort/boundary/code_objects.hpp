// Code objects that give the function objects their introspectable signature.
#pragma once

#include <Python.h>

namespace velmora {

// An empty-bodied code object named `name` with `argcount` positional
// arguments and the local variable names `varnames` (a tuple). New reference,
// or NULL with an exception.
PyObject* new_signature_code(PyObject* name, int argcount, PyObject* varnames, PyObject* filename,
                             int firstlineno);

}  // namespace velmora

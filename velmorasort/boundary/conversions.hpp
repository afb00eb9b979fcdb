// Conversions between Python lists and double vectors.
#pragma once

#include <Python.h>

#include <vector>

#include "boundary/refs.hpp"

namespace velmora {

// Reads every element of `obj` as a double, in order: exact lists and tuples
// by index (re-reading the length before each element, since a __float__ may
// change it), anything else through the iteration protocol. On failure adds
// the conversion's own traceback entry and throws PythonError.
std::vector<double> list_to_vector(PyObject* obj);

// A new list holding a new float for each value. On failure adds the
// conversion's own traceback entry and throws PythonError.
OwnedRef vector_to_list(const std::vector<double>& values);

}  // namespace velmora

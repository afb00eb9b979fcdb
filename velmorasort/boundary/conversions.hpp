// Conversions between Python lists and double vectors.
#pragma once

#include <Python.h>

#include <vector>

#include "boundary/refs.hpp"

namespace velmora {

// Reads every element of the exact list `list` as a double, in order, by
// index like a `for` loop over it: the length is read again before each
// element, since a __float__ may change the list. On failure adds the
// conversion's own traceback entry (this file, the failing statement) and
// throws PythonError.
std::vector<double> list_to_vector(PyObject* list);

// A new list holding a new float for each value. On failure adds the
// conversion's own traceback entry and throws PythonError.
OwnedRef vector_to_list(const std::vector<double>& values);

}  // namespace velmora

// Measuring sticks for the benchmark: the least work any sort that returns
// new floats must do, and the least a sort by order keys adds to it. They
// take lists of exact floats only and are no part of the sorting module.
#pragma once

#include <Python.h>

namespace velmora::sticks {

// _floor(list): a new list of new floats of list's values, in list's order.
PyObject* floor(PyObject*, PyObject* list);

// _fused(list): list's values ascending by their order keys, read into the
// keys in one pass, the keys sorted (vqsort where the build has it,
// std::sort otherwise), each float made from its key in one pass. NaNs take
// their keys' places, not sort's.
PyObject* fused(PyObject*, PyObject* list);

}  // namespace velmora::sticks

// velmorasort._kernel: which sorting kernel this build carries and the
// instruction set it dispatches to on this CPU. A module of its own, so the
// sorting module's globals stay as they are.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "engine/vector_sort.hpp"

namespace {

// describe() -> {"kernel": "vqsort" | "radix", "instruction_set": str | None,
//                "highway": "major.minor" | None}
PyObject* describe(PyObject*, PyObject*) {
    using namespace velmora::engine;
    const bool vector = vector_sort_built();
    return Py_BuildValue("{s:s, s:z, s:z}", "kernel", vector ? "vqsort" : "radix",
                         "instruction_set", vector ? vector_sort_target() : nullptr,
                         "highway", vector ? vector_sort_library_version() : nullptr);
}

// restrict_instruction_set(name): the dispatch keeps to `name` ("AVX2",
// "SSE4", ...) and older sets, for every module of the process; "" lifts it.
PyObject* restrict_instruction_set(PyObject*, PyObject* arg) {
    const char* name = PyUnicode_AsUTF8(arg);
    if (name == nullptr) return nullptr;
    if (!velmora::engine::vector_sort_built()) {
        PyErr_SetString(PyExc_RuntimeError, "this build has no vectorised kernel");
        return nullptr;
    }
    if (!velmora::engine::restrict_vector_targets(name)) {
        PyErr_Format(PyExc_ValueError, "unknown or unsupported instruction set: %s", name);
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyMethodDef methods[] = {
    {"describe", describe, METH_NOARGS, "describe()\n--\n\nThe kernel and instruction set in use."},
    {"restrict_instruction_set", restrict_instruction_set, METH_O,
     "restrict_instruction_set(name)\n--\n\nKeeps the dispatch to `name` and older sets (\"\" lifts it)."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_kernel", nullptr, 0, methods,
                          nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__kernel(void) {
    PyObject* module = PyModule_Create(&module_def);
#ifdef Py_GIL_DISABLED
    if (module != nullptr) PyUnstable_Module_SetGIL(module, Py_MOD_GIL_NOT_USED);
#endif
    return module;
}

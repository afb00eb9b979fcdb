// velmorasort._kernel: which sorting kernel this build carries and the
// instruction set it dispatches to on this CPU. A module of its own, so the
// sorting module's globals stay as they are.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include "boundary/refs.hpp"
#include "engine/vector_sort.hpp"
#include "measuring_sticks.hpp"

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

// ------------------------------------------------- the suite's team hooks ----
// The teams live in velmorasort.VelmoraSort, a library of its own: its two
// exported test functions (engine/team_record.hpp) are looked up there, so
// that the sorting module's globals stay as they are in every build.

// The address of `name` in the loaded velmorasort.VelmoraSort, or nullptr with
// an exception.
void* sorting_module_symbol(const char* name) {
    using velmora::OwnedRef;
    const OwnedRef module = OwnedRef::steal(PyImport_ImportModule("velmorasort.VelmoraSort"));
    if (!module) return nullptr;
    const OwnedRef path = OwnedRef::steal(PyObject_GetAttrString(module.get(), "__file__"));
    if (!path) return nullptr;
    void* found = nullptr;
#if defined(_WIN32)
    wchar_t* wide = PyUnicode_AsWideCharString(path.get(), nullptr);
    if (wide != nullptr) {
        const HMODULE library = GetModuleHandleW(wide);
        if (library != nullptr) found = reinterpret_cast<void*>(GetProcAddress(library, name));
        PyMem_Free(wide);
    }
#else
    const char* text = PyUnicode_AsUTF8(path.get());
    if (text != nullptr) {
        // Loaded already: RTLD_NOLOAD only finds it.
        void* library = dlopen(text, RTLD_LAZY | RTLD_NOLOAD);
        if (library != nullptr) {
            found = dlsym(library, name);
            dlclose(library);
        }
    }
#endif
    if (found == nullptr && !PyErr_Occurred()) {
        PyErr_Format(PyExc_RuntimeError, "velmorasort.VelmoraSort exports no %s", name);
    }
    return found;
}

// _test_teams(values_per_thread, lift_cpu_cap): see velmorasort_set_test_teams.
PyObject* test_teams(PyObject*, PyObject* args) {
    // Unpacked by hand: PyArg_ParseTuple under PY_SSIZE_T_CLEAN links to a
    // private name that the macOS link check rightly refuses.
    PyObject *values_arg = nullptr, *lift_arg = nullptr;
    if (!PyArg_UnpackTuple(args, "_test_teams", 2, 2, &values_arg, &lift_arg)) return nullptr;
    const unsigned long long values = PyLong_AsUnsignedLongLong(values_arg);
    if (values == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return nullptr;
    const int lift = PyObject_IsTrue(lift_arg);
    if (lift < 0) return nullptr;
    void* symbol = sorting_module_symbol("velmorasort_set_test_teams");
    if (symbol == nullptr) return nullptr;
    reinterpret_cast<void (*)(std::uint64_t, std::int32_t)>(symbol)(values, lift);
    Py_RETURN_NONE;
}

// _teams() -> {kind: largest team started since the last call}, only the
// kinds that started one.
PyObject* teams(PyObject*, PyObject*) {
    static const char* const kinds[] = {"split", "reading", "floats"};
    constexpr std::int32_t count = 3;
    void* symbol = sorting_module_symbol("velmorasort_take_team_record");
    if (symbol == nullptr) return nullptr;
    std::int32_t sizes[count] = {};
    reinterpret_cast<void (*)(std::int32_t*, std::int32_t)>(symbol)(sizes, count);
    velmora::OwnedRef record = velmora::OwnedRef::steal(PyDict_New());
    for (int i = 0; record && i < count; ++i) {
        if (sizes[i] == 0) continue;
        const velmora::OwnedRef size = velmora::OwnedRef::steal(PyLong_FromLong(sizes[i]));
        if (!size || PyDict_SetItemString(record.get(), kinds[i], size.get()) < 0) return nullptr;
    }
    return record.release();
}

PyMethodDef methods[] = {
    {"describe", describe, METH_NOARGS, "describe()\n--\n\nThe kernel and instruction set in use."},
    {"restrict_instruction_set", restrict_instruction_set, METH_O,
     "restrict_instruction_set(name)\n--\n\nKeeps the dispatch to `name` and older sets (\"\" lifts it)."},
    // For the benchmark: what a sort's time is measured against.
    {"_floor", velmora::sticks::floor, METH_O, nullptr},
    {"_fused", velmora::sticks::fused, METH_O, nullptr},
    // For the test suite only.
    {"_test_teams", test_teams, METH_VARARGS, nullptr},
    {"_teams", teams, METH_NOARGS, nullptr},
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

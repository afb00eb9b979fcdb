// The process-wide state of the module: written by create and start-up under
// the interpreter lock, only read afterwards, never released.
#pragma once

#include <Python.h>

#include <cstdint>

namespace velmora {

// File name that traceback entries and code objects carry.
constexpr const char* kSourcePath = "velmorasort/VelmoraSort.cpp";
constexpr const char* kModuleName = "velmorasort.VelmoraSort";

struct InternedNames {
    PyObject* input_list = nullptr;
    PyObject* num_threads = nullptr;
    PyObject* sort = nullptr;
    PyObject* supersort = nullptr;
    PyObject* multiprocessing = nullptr;
    PyObject* cpu_count = nullptr;
    PyObject* range = nullptr;
    PyObject* memory_error = nullptr;
    PyObject* spec = nullptr;            // __spec__
    PyObject* initializing = nullptr;    // _initializing
    PyObject* dunder_name = nullptr;     // __name__
    PyObject* dunder_main = nullptr;     // __main__
    PyObject* dunder_test = nullptr;     // __test__
    PyObject* module_name = nullptr;     // velmorasort.VelmoraSort
    PyObject* source_path = nullptr;
};

struct ModuleState {
    std::int64_t first_interpreter_id = -1;
    PyObject* module = nullptr;     // the one initialised module (strong)
    PyObject* globals = nullptr;    // its dictionary (strong)
    PyObject* builtins = nullptr;   // the builtins module (strong)
    InternedNames names;
    PyObject* sort_code = nullptr;
    PyObject* supersort_code = nullptr;
    PyObject* empty_tuple = nullptr;
    PyObject* empty_bytes = nullptr;
};

ModuleState& state() noexcept;

}  // namespace velmora

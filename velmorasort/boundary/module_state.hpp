// The process-wide state of the module: written by create and start-up, only
// read afterwards. It belongs to the runtime that made it: the end of that
// runtime forgets it (VelmoraSort.cpp, forget_state), so that a host that initialises
// the interpreter again imports afresh. The interpreter lock keeps two
// start-ups apart; free-threaded builds have none, and StateLock takes its
// place.
#pragma once

#include <Python.h>

#include <cstdint>

#include "boundary/lock_taking.hpp"

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
};

struct ModuleState {
    std::int64_t first_interpreter_id = -1;
    PyObject* module = nullptr;     // the one initialised module (strong)
    PyObject* globals = nullptr;    // its dictionary (strong)
    PyObject* builtins = nullptr;   // the builtins module (strong)
    InternedNames names;
    PyTypeObject* function_type = nullptr;   // readied by this runtime
    bool forgets_at_exit = false;            // forget_state_at_exit is registered
};

ModuleState& state() noexcept;

// Held around the steps of create and start-up that read or claim the
// module guard (first_interpreter_id, module), which two threads of a
// free-threaded build may run at once. Those steps run no Python code: the
// lock is never held across an import or a release that could re-enter.
// Nothing on other builds.
class StateLock {
  public:
#ifdef Py_GIL_DISABLED
    StateLock() noexcept { lock_mutex_or_park(&mutex()); }
    ~StateLock() { PyMutex_Unlock(&mutex()); }
#else
    StateLock() noexcept {}
    ~StateLock() {}
#endif
    StateLock(const StateLock&) = delete;
    StateLock& operator=(const StateLock&) = delete;

  private:
#ifdef Py_GIL_DISABLED
    // PyMutex lets the thread state go while it waits, so a waiting thread
    // never stalls the interpreter's stop-the-world pauses.
    static PyMutex& mutex() noexcept {
        static PyMutex m{};
        return m;
    }
#endif
};

}  // namespace velmora

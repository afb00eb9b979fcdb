#include "boundary/lock_taking.hpp"

#include <cxxabi.h>
#include <unistd.h>

namespace velmora {
namespace {

[[noreturn]] void park_forever() noexcept {
    for (;;) pause();
}

}  // namespace

PyGILState_STATE ensure_lock_or_park() noexcept {
    try {
        return PyGILState_Ensure();
    } catch (abi::__forced_unwind&) {
        park_forever();
    }
}

void restore_thread_or_park(PyThreadState* thread_state) noexcept {
    try {
        PyEval_RestoreThread(thread_state);
    } catch (abi::__forced_unwind&) {
        park_forever();
    }
}

#ifdef Py_GIL_DISABLED
void begin_critical_section_or_park(PyCriticalSection* section, PyObject* obj) noexcept {
    try {
        PyCriticalSection_Begin(section, obj);
    } catch (abi::__forced_unwind&) {
        park_forever();
    }
}

void lock_mutex_or_park(PyMutex* mutex) noexcept {
    try {
        PyMutex_Lock(mutex);
    } catch (abi::__forced_unwind&) {
        park_forever();
    }
}
#endif

}  // namespace velmora

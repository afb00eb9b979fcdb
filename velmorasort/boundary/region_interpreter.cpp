#include <Python.h>

#include "boundary/region_interpreter.hpp"

#include <atomic>

#include "boundary/compat.hpp"
#include "engine/portable.hpp"

namespace velmora::interpreter {
namespace {

// Taking the lock on a thread that does not hold it: while the interpreter
// shuts down it ends such a thread on the spot by unwinding its stack.
// Neither an OpenMP region nor the noexcept sorter may be unwound, so the
// thread is parked for good instead (newer interpreters do the same
// themselves); the process is exiting anyway.
[[noreturn]] void park_forever() noexcept {
    portable::sleep_forever();
}

// PyGILState_Ensure, or never returns. Only the interpreter's ending of the
// thread can unwind out of these C calls.
PyGILState_STATE ensure_lock_or_park() noexcept {
    try {
        return PyGILState_Ensure();
    } catch (...) {
        park_forever();
    }
}

// PyEval_RestoreThread, or never returns.
void restore_thread_or_park(PyThreadState* thread_state) noexcept {
    try {
        PyEval_RestoreThread(thread_state);
    } catch (...) {
        park_forever();
    }
}

}  // namespace

bool finalizing() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

HeldAside release_lock() noexcept { return {PyEval_SaveThread()}; }

void take_lock_back(HeldAside held) noexcept {
    restore_thread_or_park(static_cast<PyThreadState*>(held.thread_state));
}

void run_without_lock(void (*work)(void*), void* context) noexcept {
    // Gives up the lock for the work: other Python threads run meanwhile.
    const HeldAside caller = release_lock();
    work(context);
    // Takes it back for good.
    take_lock_back(caller);
}

// PyGILState_Ensure gives a thread without a thread state one of the main
// interpreter, whatever interpreter the caller runs in. That is why the
// module loads into one interpreter per process only: create refuses any
// other (and an interpreter with a lock of its own refuses the module before
// that, as it claims no support for one), so a member always attaches to the
// caller's interpreter.
Attachment hold() noexcept {
    if (finalizing()) return {false, 0, nullptr};
    return {true, static_cast<int>(ensure_lock_or_park()), nullptr};
}

void let_go(const Attachment& attachment) noexcept {
    if (attachment.attached) PyGILState_Release(static_cast<PyGILState_STATE>(attachment.gil_state));
}

WorkerError::~WorkerError() {
    Py_XDECREF(static_cast<PyObject*>(type_));
    Py_XDECREF(static_cast<PyObject*>(value_));
    Py_XDECREF(static_cast<PyObject*>(traceback_));
}

void WorkerError::record_from_this_thread() noexcept {
    if (finalizing()) return;
    // The slots are only touched under the lock (on free-threaded builds:
    // while attached). The claim, not the lock, keeps a second worker out of
    // them, since a free-threaded build's lock excludes no one.
    const PyGILState_STATE gil = ensure_lock_or_park();
    std::atomic_thread_fence(std::memory_order_seq_cst);
    if (!claimed_.exchange(true)) {
        PyObject *type, *value, *traceback;
        fetch_exception(&type, &value, &traceback);
        type_ = type;
        value_ = value;
        traceback_ = traceback;
    }
    // Gives the lock back before anything that could wait on another thread.
    PyGILState_Release(gil);
}

void WorkerError::raise_on_this_thread() noexcept {
    if (type_ == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "interpreter shut down during the sort");
        return;
    }
    restore_exception(static_cast<PyObject*>(type_), static_cast<PyObject*>(value_),
                  static_cast<PyObject*>(traceback_));
    type_ = value_ = traceback_ = nullptr;
}

}  // namespace velmora::interpreter

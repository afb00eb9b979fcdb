// Taking the interpreter lock on a thread that does not hold it.
//
// While the interpreter shuts down it ends such a thread on the spot by
// unwinding its stack. Neither an OpenMP region nor the noexcept sorter may be
// unwound, so the thread is parked for good instead (newer interpreters do the
// same themselves); the process is exiting anyway.
#pragma once

#include <Python.h>

namespace velmora {

// PyGILState_Ensure, or never returns.
PyGILState_STATE ensure_lock_or_park() noexcept;

// PyEval_RestoreThread, or never returns.
void restore_thread_or_park(PyThreadState* thread_state) noexcept;

#ifdef Py_GIL_DISABLED
// Free-threaded builds: a per-object lock or a PyMutex that another thread
// holds is waited for with the thread state let go, and taken back like the
// interpreter lock above, so the same shutdown can end the thread there.

// PyCriticalSection_Begin, or never returns.
void begin_critical_section_or_park(PyCriticalSection* section, PyObject* obj) noexcept;

// PyMutex_Lock, or never returns.
void lock_mutex_or_park(PyMutex* mutex) noexcept;
#endif

}  // namespace velmora

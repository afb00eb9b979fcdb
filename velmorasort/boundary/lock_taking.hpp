// Free-threaded builds: waiting for a per-object lock or a PyMutex that
// another thread holds lets the thread state go, and taking it back is where
// a shutting-down interpreter ends the thread by unwinding its stack. Code
// that may not be unwound parks the thread for good instead, as the region's
// lock taking does (region_interpreter.cpp); the process is exiting anyway.
#pragma once

#include <Python.h>

namespace velmora {

#ifdef Py_GIL_DISABLED
// PyCriticalSection_Begin, or never returns.
void begin_critical_section_or_park(PyCriticalSection* section, PyObject* obj) noexcept;

// PyMutex_Lock, or never returns.
void lock_mutex_or_park(PyMutex* mutex) noexcept;
#endif

}  // namespace velmora

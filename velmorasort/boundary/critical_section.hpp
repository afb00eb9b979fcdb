// Per-object locking for free-threaded builds, where the interpreter lock no
// longer keeps other threads out of a shared list.
#pragma once

#include <Python.h>

#include "boundary/lock_taking.hpp"

namespace velmora {

// Holds the interpreter's per-object lock of `obj` while it lives, so that no
// other thread changes the object meanwhile. Like the interpreter's own
// critical sections it is let go while this thread waits (a blocking call,
// Python code that blocks) and taken again before the thread runs on: code
// under it still re-reads whatever a call that can run Python may change.
// Nothing on other builds, where the interpreter lock does this job.
class CriticalSection {
  public:
#ifdef Py_GIL_DISABLED
    // Waiting for the lock lets the thread state go: see lock_taking.hpp.
    explicit CriticalSection(PyObject* obj) noexcept { begin_critical_section_or_park(&section_, obj); }
    ~CriticalSection() { PyCriticalSection_End(&section_); }
#else
    explicit CriticalSection(PyObject*) noexcept {}
    ~CriticalSection() {}
#endif
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;

  private:
#ifdef Py_GIL_DISABLED
    PyCriticalSection section_;
#endif
};

}  // namespace velmora

// The floats of supersort's result, made by a thread team where the build
// lets every attached thread allocate objects (free-threaded builds).
#pragma once

#include <Python.h>

#include <cstddef>
#include <vector>

namespace velmora {

// Threads worth starting to make `count` floats for a call that asked for
// `requested` threads: at most one per slice of values (parallel_floats.cpp),
// within engine::team_size's limits. 1 where a team cannot help: on builds
// with the interpreter lock, where one thread at a time allocates objects; for
// short results; while the interpreter shuts down.
int float_team(int requested, std::size_t count) noexcept;

#ifdef Py_GIL_DISABLED
// Fills every slot of `list`, a new list of values.size() NULL slots that no
// other thread can reach yet, with a new float of the value at its index, on
// a team of `team` threads. Called attached; the calling thread detaches for
// the region and is attached again on return.
//
// Returns true when every slot holds its float. Otherwise the first failing
// member's exception (MemoryError, as from PyFloat_FromDouble) is pending on
// the calling thread, and the slots left unfilled are NULL, which the list's
// deallocation skips.
bool fill_floats_in_parallel(PyObject* list, const std::vector<double>& values, int team) noexcept;
#endif

#ifdef VELMORASORT_FAULT_INJECTION
// Test builds: the calling thread waits this long before it attaches as a
// member, so that the others finish their slices first (0: no wait).
void set_caller_attach_delay(int milliseconds) noexcept;
#endif

}  // namespace velmora

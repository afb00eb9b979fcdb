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
// A new list holding a new float for each of `values`, made on a team of
// `team` threads; `values` is spent (its slots hold the floats' pointers on
// the way). Called attached; the calling thread detaches while the team works
// and is attached again on return. The list is made and filled only after
// every float exists, so no other thread ever reaches it half-filled (a walk
// of the collector's objects would copy its empty slots).
//
// Returns the list, or null with the first failing member's exception
// (MemoryError, as from PyFloat_FromDouble) pending and every float made
// released.
PyObject* float_list_in_parallel(std::vector<double>& values, int team) noexcept;
#endif

#ifdef VELMORASORT_FAULT_INJECTION
// Test builds: the calling thread waits this long before it attaches as a
// member, so that the others finish their slices first (0: no wait).
void set_caller_attach_delay(int milliseconds) noexcept;
#endif

}  // namespace velmora

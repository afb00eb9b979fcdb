// Reading a long list of exact floats on a thread team: while the calling
// thread holds the interpreter lock (or, on free-threaded builds, the list's
// own lock), no Python code runs and no element can change, so every thread
// may read the values of exact floats straight from their objects.
#pragma once

#include <Python.h>

#include <cstddef>

namespace velmora {

// Threads worth starting to read a list of `count` elements for a call that
// asked for `requested` threads, within engine::team_size's limits; 1 where a
// team cannot help. For 0 or less, which leaves the team to
// multiprocessing.cpu_count(): the reading comes before that call, so it
// takes the answer cpu_count gave last (note_cpu_count), and 1 while none
// has come.
int reading_team(int requested, std::size_t count) noexcept;

// Records what multiprocessing.cpu_count() answered for a call.
void note_cpu_count(int answer) noexcept;

// Reads the values of the exact floats at the front of `list`, up to the
// first element that is anything else, into out[0, k) on a team of `team`
// threads, and returns k (the list's length when every element is an exact
// float). `out` has room for the list's length. The caller holds the
// interpreter lock, and on free-threaded builds the list's critical section,
// for the whole call: the team's threads touch no interpreter state, they
// only read the list's slots and the floats' values.
std::size_t read_exact_floats_on_team(PyObject* list, double* out, int team) noexcept;

}  // namespace velmora

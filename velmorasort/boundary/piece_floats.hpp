// supersort's floats made while its team still sorts, on builds with the
// interpreter lock: the calling thread makes the floats of each piece as soon
// as the team has sorted it (engine/piece_sort.hpp), and lets the lock go
// while it waits and between pieces, so other Python threads run about as
// often as while a whole sort ran without it.
#pragma once

#include <Python.h>

#include <vector>

#include "boundary/refs.hpp"
#include "engine/sort_plan.hpp"

namespace velmora {

// Fills `list`, a new list of values.size() NULL slots that no other thread
// can reach, with new floats of `values` sorted as `job` says. Throws
// PythonError (the team stopped, no slot left unfilled but NULL) or
// std::bad_alloc.
void fill_floats(OwnedRef& list, std::vector<double>& values, engine::PieceJob& job);

}  // namespace velmora

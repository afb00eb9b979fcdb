// Conversions between Python lists and double vectors.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "boundary/key_read.hpp"
#include "boundary/read_elements.hpp"
#include "boundary/refs.hpp"
#include "engine/sort_plan.hpp"

namespace velmora {

// Reads every element of the exact list `list` as a double, in order, by
// index like a `for` loop over it: the length is read again before each
// element, since a __float__ may change the list. A `team` of two or more
// threads (reading_team) reads the exact floats at the front of the list
// together first: no Python code can run there, so the walk from the first
// other element on is the same as ever. `ran_code`, where given, is set when
// an element was neither an exact float nor an exact int, whose conversion
// may have run Python code. `elements`, where given, keeps the elements read
// as it needs them (read_elements.hpp). On failure adds the conversion's own
// traceback entry (this file, the failing statement) and throws PythonError.
//
// `by_keys`, where given (team 1 only), reads the exact floats at the front
// of the list straight into their order keys there. Where the whole list was
// such and its keys decide its order (KeyFacts::keys_decide), by_keys->taken
// is set and nothing else is returned; otherwise the keys read go on as
// doubles, and the read as ever.
std::vector<double> list_to_vector(PyObject* list, int team = 1, bool* ran_code = nullptr,
                                   ReadElements* elements = nullptr, KeyRead* by_keys = nullptr);

// A new list holding a new float for each value. `requested_team` is the
// team the caller may use (supersort's); free-threaded builds make the floats
// of long lists on a team of up to that many threads (parallel_floats.hpp),
// other builds always here. On failure adds the conversion's own traceback
// entry and throws PythonError; the same failure gives the same exception and
// entry whichever thread met it. `values` may be spent by a team. With
// `pieces`, the values are not sorted yet: a team sorts them as the job says
// while the floats of the pieces it has sorted are made (piece_floats.hpp).
OwnedRef vector_to_list(std::vector<double>& values, int requested_team = 1,
                        engine::PieceJob* pieces = nullptr);

// vector_to_list for the order keys keys[0, count), on this thread: each float
// is made from its key.
OwnedRef keys_to_list(const std::uint64_t* keys, std::size_t count);

}  // namespace velmora

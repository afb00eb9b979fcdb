// Presorted runs: input made of a few long ascending or descending runs
// (already sorted, reversed, sawtooth data) is merged run by run instead of
// going through the bucket pass.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace velmora::engine {

// When `lst` has a unique ascending order (no NaN, not both zero signs; the
// reference switch off), or the caller vouches with `zeros_fixed_after` that
// it is NaN-free and rewrites the zeros' group afterwards, and
// consists of at most one run per kMinAverageRun values, sorts it in place
// and returns true; otherwise returns false and leaves it alone. The result
// is then bit-identical to any other correct sort, the insertion sorter's
// included. May throw std::bad_alloc (with `lst` unchanged).
bool sort_by_runs(std::vector<double>& lst, bool zeros_fixed_after = false);

// The same for the order keys (radix_sort.hpp) keys[0, n) of values with a
// unique ascending order, which the caller vouches for.
bool sort_keys_by_runs(std::uint64_t* keys, std::size_t n);

}  // namespace velmora::engine

// Nearly sorted input: one ascending sequence with a few values displaced
// (a sorted list with some entries swapped, appended or edited). The values
// that break the order are set aside, sorted and merged back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace velmora::engine {

// When `lst` has a unique ascending order (no NaN, not both zero signs; the
// reference switch off), or the caller vouches with `zeros_fixed_after` that
// it is NaN-free and rewrites the zeros' group afterwards, and at most one value in kMaxDisplacedShare breaks
// its ascending order, sorts it in place and returns true; otherwise returns
// false and leaves it alone. One linear pass decides; random data gives up
// after about an eighth of the list. The result is bit-identical to any other
// correct sort. May throw std::bad_alloc (with `lst` unchanged).
bool sort_nearly_sorted(std::vector<double>& lst, bool zeros_fixed_after = false);

// The same for the order keys (radix_sort.hpp) keys[0, n) of values with a
// unique ascending order, which the caller vouches for.
bool sort_keys_nearly_sorted(std::uint64_t* keys, std::size_t n);

}  // namespace velmora::engine

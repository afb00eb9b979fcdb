// Cooperative sort of one large bucket by a whole OpenMP team.
#pragma once

#include <cstddef>

namespace velmora::engine {

// Sorts the unique-order values[0, n) into out[0, n), using values as
// scratch. Must be called
// by every thread of the current team, with the same arguments, from inside a
// parallel region: each thread sorts a slice, then the slices are merged in
// rounds, every merge split evenly over the team. Allocates nothing.
void team_sort(double* values, std::size_t n, double* out) noexcept;

}  // namespace velmora::engine

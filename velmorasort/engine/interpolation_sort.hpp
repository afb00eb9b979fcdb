// The interpolation insertion sorter: the definition of every group's order.
#pragma once

#include <cstddef>
#include <vector>

#include "engine/sorter_status.hpp"

namespace velmora::engine {

// Sorts the NaN-free values[0, n) into out[0, n) (room for n values, no
// overlap) by the insertion algorithm: a std::sort seed of nine, then every
// further value inserted where the interpolation probes lead, which also fixes
// where +0.0 and -0.0 land among each other. Returns false as soon as the work
// exceeds the budget (see over_budget); out then holds nothing useful and the
// caller finishes the group by other means. May throw std::bad_alloc.
bool insertion_sort_within_budget(const double* values, std::size_t n, double* out);

// True when values[0, n) has exactly one ascending order: no NaN, and not
// both +0.0 and -0.0. Only then is any correct sort bit-identical to the
// insertion sorter, so only then may other sorts stand in for it.
bool has_unique_order(const double* values, std::size_t n) noexcept;

// The group sorter as the rest of the module calls it: never throws. Sorts
// values[0, n) into out[0, n), using values as scratch. On a native failure
// the status holds it, with the place of the statement that threw; the
// caller turns it into the Python exception (sort_internal's traceback entry).
[[nodiscard]] SorterStatus sort_internal(double* values, std::size_t n, double* out) noexcept;

// Direct-path form: the sorted values of `lst` (used as scratch) go to
// `sorted_vec` (resized to fit). Same status; on failure `sorted_vec` holds
// nothing of use.
[[nodiscard]] SorterStatus sort_internal(std::vector<double>& lst, std::vector<double>& sorted_vec) noexcept;

}  // namespace velmora::engine

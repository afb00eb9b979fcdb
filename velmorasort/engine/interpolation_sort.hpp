// The interpolation insertion sorter.
#pragma once

#include <cstddef>
#include <vector>

namespace velmora::engine {

// Sorts values[0, n) into out[0, n) (out has room for n values and must not
// overlap values). NaN-free input gets exactly the insertion algorithm's
// result: a stable std::sort seed of nine, then every further value inserted
// where the interpolation probes lead, which also fixes where +0.0 and -0.0
// land among each other. NaNs are set aside and follow the sorted values in
// input order. Quadratic cases are finished by std::sort when that yields the
// same result (see the work guard). May throw std::bad_alloc.
void interpolation_sort(const double* values, std::size_t n, double* out);

// True when values[0, n) has exactly one ascending order: no NaN, and not
// both +0.0 and -0.0. Only then is any correct sort bit-identical to the
// insertion sorter, so only then may other sorts stand in for it.
bool has_unique_order(const double* values, std::size_t n) noexcept;

// The sorter as the rest of the module calls it: never throws. Returns false
// on a native failure, which it has reported as a Python exception with its
// own traceback entry (interpreter::report_sorter_failure); the caller checks
// the status, not the interpreter.
[[nodiscard]] bool sort_internal(const double* values, std::size_t n, double* out) noexcept;

// Direct-path form: the sorted values go to `sorted_vec` (resized to fit).
// Same status; on failure `sorted_vec` holds nothing of use.
[[nodiscard]] bool sort_internal(const std::vector<double>& lst, std::vector<double>& sorted_vec) noexcept;

}  // namespace velmora::engine

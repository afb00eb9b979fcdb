// The kernel planner for one group of values: a bucket, or a whole short
// list. It alone decides which method sorts a group.
#pragma once

#include <cstddef>

namespace velmora::engine {

// The reference switch (test builds only): while on, every group goes through
// the insertion algorithm and every whole-list shortcut to a fast method is
// off, so tests can compare the fast paths with the definition bit for bit.
void set_reference_mode(bool on) noexcept;
bool reference_mode() noexcept;

// Test builds: while on, groups with a unique order go to the portable radix
// kernel even where the build carries the vectorised one.
void set_portable_kernel_only(bool on) noexcept;
// True when groups with a unique order of kVectorSortMinimum values or more
// are sorted by Highway's vqsort.
bool vector_kernel_in_use() noexcept;

// True when a method other than the insertion algorithm may sort values[0, n)
// with the very same result: the values have a unique ascending order and the
// reference switch is off.
bool fast_method_allowed(const double* values, std::size_t n) noexcept;

// Sorts the unique-order values[0, n) into out[0, n) by the fastest exact
// method for their size; values is used as scratch. Both zero signs are
// allowed where the caller rewrites the zeros' group afterwards: they come
// out in some order among each other.
void sort_unique(double* values, std::size_t n, double* out) noexcept;

// sort_unique for values whose only obstacle to a unique order is their
// `nans` NaNs, which follow the sorted values in input order.
void sort_unique_with_nans(double* values, std::size_t n, std::size_t nans, double* out) noexcept;

// Moves the `nans` NaNs of values[0, n) to out[n - nans, n) in input order
// and the other values to values[0, n - nans), order kept; returns n - nans.
std::size_t set_nans_aside(double* values, std::size_t n, std::size_t nans, double* out) noexcept;

// Sorts values[0, n) into out[0, n) (room for n, no overlap), using values as
// scratch. NaNs follow the sorted values in input order. The rest:
// - a unique ascending order: the fastest exact method (sort_unique);
// - otherwise (both zero signs): the insertion algorithm while its work stays
//   within the budget; past it, a sort by order keys (the vectorised kernel
//   or the radix sort), which puts every -0.0 before every +0.0.
// May throw std::bad_alloc.
void sort_group(double* values, std::size_t n, double* out);

}  // namespace velmora::engine

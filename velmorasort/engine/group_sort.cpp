#include "engine/group_sort.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>

#include "engine/interpolation_sort.hpp"
#include "engine/radix_sort.hpp"
#include "engine/tuning.hpp"
#include "engine/vector_sort.hpp"

namespace velmora::engine {
namespace {

std::atomic<bool> reference{false};
// Test builds may keep the Highway kernel aside, so the portable one is tested too.
std::atomic<bool> portable_only{false};

// Sorts the NaN-free values[0, n) by their order keys, every -0.0 before every
// +0.0: the radix sort's order, which the vectorised kernel gives as well,
// since it sorts those very keys.
void sort_by_order_key(double* values, std::size_t n, double* out) noexcept {
    if (vector_kernel_in_use() && n >= tuning::kVectorSortMinimum) {
        vector_sort(values, n, out);
    } else {
        radix_sort(values, n, out);
    }
}

}  // namespace

std::size_t set_nans_aside(double* values, std::size_t n, std::size_t nans, double* out) noexcept {
    if (nans == 0) return n;
    std::size_t kept = 0, k = n - nans;
    for (std::size_t i = 0; i < n; ++i) {
        if (std::isnan(values[i])) {
            out[k++] = values[i];
        } else {
            values[kept++] = values[i];
        }
    }
    return kept;
}

void set_reference_mode(bool on) noexcept { reference.store(on); }
bool reference_mode() noexcept { return reference.load(std::memory_order_relaxed); }

bool fast_method_allowed(const double* values, std::size_t n) noexcept {
    return !reference_mode() && has_unique_order(values, n);
}

void set_portable_kernel_only(bool on) noexcept { portable_only.store(on); }

bool vector_kernel_in_use() noexcept {
    return vector_sort_built() && !portable_only.load(std::memory_order_relaxed);
}

void sort_unique(double* values, std::size_t n, double* out) noexcept {
    if (vector_kernel_in_use() && n >= tuning::kVectorSortMinimum) {
        vector_sort(values, n, out);
    } else if (n < tuning::kRadixMinimum) {
        std::copy(values, values + n, out);
        std::sort(out, out + n);
    } else {
        radix_sort(values, n, out);
    }
}

void sort_unique_with_nans(double* values, std::size_t n, std::size_t nans, double* out) noexcept {
    sort_unique(values, set_nans_aside(values, n, nans, out), out);
}

void sort_group(double* values, std::size_t n, double* out) {
    std::size_t nans = 0;
    for (std::size_t i = 0; i < n; ++i) nans += std::isnan(values[i]);
    const std::size_t m = set_nans_aside(values, n, nans, out);
    if (fast_method_allowed(values, m)) {
        sort_unique(values, m, out);
        return;
    }
    if (insertion_sort_within_budget(values, m, out)) return;
    // Past the budget: O(m log m) at most was spent; a sort by keys finishes.
    sort_by_order_key(values, m, out);
}

}  // namespace velmora::engine

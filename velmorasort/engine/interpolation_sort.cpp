#include "engine/interpolation_sort.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "engine/failure_report.hpp"
#include "engine/fault_injection.hpp"
#include "engine/tuning.hpp"

namespace velmora::engine {
namespace {

using Index = std::int64_t;

// Index at which `value` goes into sorted[0, size), size >= 1, found by the
// interpolation search. Adds the number of probes to `probes`. Assumes no NaN
// in sorted or value; the result lies in [0, size].
inline Index find_insertion_index(const double* sorted, Index size, double value,
                                  std::int64_t& probes) {
    Index start = 0;
    Index end = size - 1;
    double start_val = sorted[start];
    double end_val = sorted[end];
    for (;;) {
        ++probes;
        Index estimated_index = start;
        const double denom_diff = end_val - start_val;
        if (denom_diff != 0.0 && !std::isnan(denom_diff)) {
            const double denom_index = static_cast<double>(end - start);
            // Three separate double operations in this order; the build forbids
            // contracting them into a fused multiply-add.
            const double diff = value - start_val;
            const double product = diff * denom_index;
            const double q = product / denom_diff;
            // q >= 1 is false for NaN; 2^63 and above would overflow the cast.
            if (q >= 1.0 && q < 9223372036854775808.0) {
                const Index step = static_cast<Index>(q);
                if (step <= INT64_MAX - start) estimated_index = std::min(start + step, end);
            }
        }
        const double probed = sorted[estimated_index];
        if (value == probed) return estimated_index;
        if (value > probed) {
            if (estimated_index == end) return end + 1;
            start = estimated_index + 1;
            start_val = sorted[start];
            if (value <= start_val) return start;
        } else {
            if (estimated_index == start) return start;
            end = estimated_index - 1;
            end_val = sorted[end];
            if (value >= end_val) return estimated_index;
        }
    }
}

// True when both +0.0 and -0.0 occur: the only NaN-free input whose
// ascending order is not unique, so only the insertion algorithm itself can
// say where each zero lands.
bool has_both_zero_signs(const double* values, Index n) {
    bool positive = false, negative = false;
    for (Index i = 0; i < n; ++i) {
        if (values[i] == 0.0) (std::signbit(values[i]) ? negative : positive) = true;
    }
    return positive && negative;
}

// Work guard, in the spirit of introsort's depth limit: the insertion sorter
// may spend kBudgetPerValueLog * n * log2(n) units (element moves, probes
// weighed by kProbeWeight). A bucket that exceeds it (a giant bucket, reversed
// input, long runs of equal values, probe walks towards an infinity) is
// finished by std::sort, which yields the very same values in the very same
// order, because NaN-free doubles without both zero signs have exactly one
// ascending order. With both zero signs present the guard stands down and the
// insertion algorithm runs to its end.
std::int64_t work_budget(Index n) {
    std::int64_t log2n = 1;
    while ((Index{1} << log2n) < n) ++log2n;
    return tuning::kBudgetPerValueLog * n * log2n;
}

// Sorts NaN-free values[0, n) into out[0, n).
void sort_without_nan(const double* values, Index n, double* out) {
    if (n <= 1) {
        if (n == 1) out[0] = values[0];
        return;
    }
    const Index limit = std::min(n, tuning::kSeedSize);
    std::copy(values, values + limit, out);
    std::sort(out, out + limit);

    const std::int64_t budget = work_budget(n);
    bool guarded = true;
    std::int64_t probes = 0, moves = 0;
    for (Index i = limit, size = limit; i < n; ++i, ++size) {
        const double value = values[i];
        const Index at = find_insertion_index(out, size, value, probes);
        std::memmove(out + at + 1, out + at, static_cast<std::size_t>(size - at) * sizeof(double));
        out[at] = value;
        moves += size - at;
        if (guarded && moves + probes * tuning::kProbeWeight > budget) {
            if (has_both_zero_signs(values, n)) {
                guarded = false;
                continue;
            }
            std::copy(values + i + 1, values + n, out + size + 1);
            std::sort(out, out + n);
            return;
        }
    }
}

}  // namespace

void interpolation_sort(const double* values, std::size_t count, double* out) {
    fault::site();
    const Index n = static_cast<Index>(count);
    Index nan_count = 0;
    for (Index i = 0; i < n; ++i) nan_count += std::isnan(values[i]);
    if (nan_count == 0) {
        sort_without_nan(values, n, out);
        return;
    }
    std::vector<double> clean;
    clean.reserve(static_cast<std::size_t>(n - nan_count));
    for (Index i = 0; i < n; ++i) {
        if (!std::isnan(values[i])) clean.push_back(values[i]);
    }
    const Index m = static_cast<Index>(clean.size());
    sort_without_nan(clean.data(), m, out);
    for (Index i = 0, k = m; i < n; ++i) {
        if (std::isnan(values[i])) out[k++] = values[i];
    }
}

bool sort_internal(const double* values, std::size_t n, double* out) noexcept {
    try {
        interpolation_sort(values, n, out);
        return true;
    } catch (...) {
        report_sorter_failure(__LINE__);
        return false;
    }
}

std::vector<double> sort_internal(const std::vector<double>& lst) noexcept {
    try {
        fault::site();
        std::vector<double> sorted_vec(lst.size());
        interpolation_sort(lst.data(), lst.size(), sorted_vec.data());
        return sorted_vec;
    } catch (...) {
        report_sorter_failure(__LINE__);
        return {};
    }
}

}  // namespace velmora::engine

#include "engine/interpolation_sort.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "boundary/region_interpreter.hpp"
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

// Work guard, in the spirit of introsort's depth limit. Work is counted in
// element moves, a probe (a division and a poorly predicted branch) weighing
// kProbeWeight moves. After i values have been placed, the work spent on them
// must stay within kBudgetPerValueLog * i * ceil(log2 i), an O(i log i) budget
// for those i values. Evenly spread inputs stay inside it up to a few thousand
// values (twice the bucket divisors and more); a giant bucket, a long walk of
// probes towards an infinity or a run of equal values at the end exhaust it
// early, so little work is wasted before std::sort finishes the job. That
// gives the very same values in the very same order, because NaN-free doubles
// without both zero signs have exactly one ascending order. With both zero
// signs present the guard stands down and the insertion algorithm runs to its
// end, since only it can say where each zero lands.
inline bool over_budget(std::int64_t work, Index placed) {
    const int log2_ceil = 64 - __builtin_clzll(static_cast<unsigned long long>(placed - 1));
    return work > tuning::kBudgetPerValueLog * placed * log2_ceil;
}

// The growing sorted sequence lives in the middle of a buffer with room for n
// values on either side, so an insertion shifts whichever side of the
// insertion point is shorter. The sequence of values is exactly that of the
// plain vector insertion; only the cost of a move halves on average.
class TwoSidedBuffer {
  public:
    TwoSidedBuffer(std::vector<double>& storage, Index n) {
        storage.resize(static_cast<std::size_t>(2 * n + 1));
        first_ = storage.data() + n;
    }
    double* data() const noexcept { return first_; }
    // Inserts value at index `at` of a sequence of `size` values; returns the
    // number of values moved.
    Index insert(Index at, Index size, double value) noexcept {
        if (at < size - at) {
            std::memmove(first_ - 1, first_, static_cast<std::size_t>(at) * sizeof(double));
            --first_;
            first_[at] = value;
            return at;
        }
        std::memmove(first_ + at + 1, first_ + at, static_cast<std::size_t>(size - at) * sizeof(double));
        first_[at] = value;
        return size - at;
    }

  private:
    double* first_;
};

// Scratch room of each thread, kept between calls so that a bucket sort
// allocates nothing once the thread has sorted a bucket as large.
thread_local std::vector<double> scratch;

// Sorts NaN-free values[0, n) into out[0, n).
void sort_without_nan(const double* values, Index n, double* out) {
    if (n <= 1) {
        if (n == 1) out[0] = values[0];
        return;
    }
    const Index limit = std::min(n, tuning::kSeedSize);
    if (limit == n) {
        std::copy(values, values + n, out);
        std::sort(out, out + n);
        return;
    }
    fault::site();
    TwoSidedBuffer sorted_vec(scratch, n);
    std::copy(values, values + limit, sorted_vec.data());
    std::sort(sorted_vec.data(), sorted_vec.data() + limit);

    bool guarded = true;
    std::int64_t probes = 0, moves = 0;
    Index size = limit;
    for (Index i = limit; i < n; ++i, ++size) {
        const double value = values[i];
        const Index at = find_insertion_index(sorted_vec.data(), size, value, probes);
        moves += sorted_vec.insert(at, size, value);
        if (guarded && over_budget(moves + probes * tuning::kProbeWeight, size + 1)) {
            if (!has_unique_order(values, static_cast<std::size_t>(n))) {
                guarded = false;
                continue;
            }
            std::copy(sorted_vec.data(), sorted_vec.data() + size + 1, out);
            std::copy(values + i + 1, values + n, out + size + 1);
            std::sort(out, out + n);
            return;
        }
    }
    std::copy(sorted_vec.data(), sorted_vec.data() + n, out);
}

}  // namespace

bool has_unique_order(const double* values, std::size_t n) noexcept {
    bool positive_zero = false, negative_zero = false;
    for (std::size_t i = 0; i < n; ++i) {
        if (std::isnan(values[i])) return false;
        if (values[i] == 0.0) (std::signbit(values[i]) ? negative_zero : positive_zero) = true;
    }
    return !(positive_zero && negative_zero);
}

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
    return interpreter::sorter_step([&] { interpolation_sort(values, n, out); });
}

bool sort_internal(const std::vector<double>& lst, std::vector<double>& sorted_vec) noexcept {
    return interpreter::sorter_step([&] { fault::site(); sorted_vec.resize(lst.size()); }) &&
           interpreter::sorter_step([&] { interpolation_sort(lst.data(), lst.size(), sorted_vec.data()); });
}

}  // namespace velmora::engine

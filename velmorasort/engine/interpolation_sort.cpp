#include "engine/interpolation_sort.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>

#include "engine/fault_injection.hpp"
#include "engine/group_sort.hpp"
#include "engine/portable.hpp"
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

// Work budget, in the spirit of introsort's depth limit. Work is counted in
// element moves on the two-sided buffer, a probe (a division and a poorly
// predicted branch) weighing kProbeWeight moves. After i values have been
// placed, the work spent on them must stay within
// kBudgetPerValueLog * i * ceil(log2 i), an O(i log i) budget for those i
// values. Evenly spread groups stay inside it up to a few thousand values;
// a giant group, a long walk of probes towards an infinity or a run of equal
// values at the end exhaust it early, so the work wasted before the caller
// finishes the group by other means is itself O(i log i). The count depends
// on the values alone, never on time or threads, so where it stops is part of
// the result (it decides the order of +0.0 and -0.0).
inline bool over_budget(std::int64_t work, Index placed) {
    const int log2_ceil = 64 - portable::leading_zeros(static_cast<std::uint64_t>(placed - 1));
    return work > tuning::kBudgetPerValueLog * placed * log2_ceil;
}

// The growing sorted sequence lives in the middle of a buffer with room for n
// values on either side, so an insertion shifts whichever side of the
// insertion point is shorter. The sequence of values is exactly that of the
// plain vector insertion; only the cost of a move halves on average. The
// buffer is the call's own and is never zero-filled: only the sequence is read.
class TwoSidedBuffer {
  public:
    explicit TwoSidedBuffer(Index n)
        : storage_(new double[static_cast<std::size_t>(2 * n + 1)]), first_(storage_.get() + n) {}
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
    std::unique_ptr<double[]> storage_;
    double* first_;
};

}  // namespace

bool insertion_sort_within_budget(const double* values, std::size_t count, double* out) {
    const Index n = static_cast<Index>(count);
    if (n <= 1) {
        if (n == 1) out[0] = values[0];
        return true;
    }
    const Index limit = std::min(n, tuning::kSeedSize);
    if (limit == n) {
        std::copy(values, values + n, out);
        std::sort(out, out + n);
        return true;
    }
    fault::site();
    TwoSidedBuffer sorted_vec(n);
    std::copy(values, values + limit, sorted_vec.data());
    std::sort(sorted_vec.data(), sorted_vec.data() + limit);

    std::int64_t probes = 0, moves = 0;
    Index size = limit;
    for (Index i = limit; i < n; ++i, ++size) {
        const double value = values[i];
        const Index at = find_insertion_index(sorted_vec.data(), size, value, probes);
        moves += sorted_vec.insert(at, size, value);
        if (over_budget(moves + probes * tuning::kProbeWeight, size + 1)) return false;
    }
    std::copy(sorted_vec.data(), sorted_vec.data() + n, out);
    return true;
}

bool has_unique_order(const double* values, std::size_t n) noexcept {
    bool positive_zero = false, negative_zero = false;
    for (std::size_t i = 0; i < n; ++i) {
        if (std::isnan(values[i])) return false;
        if (values[i] == 0.0) (std::signbit(values[i]) ? negative_zero : positive_zero) = true;
    }
    return !(positive_zero && negative_zero);
}

SorterStatus sort_internal(double* values, std::size_t n, double* out) noexcept {
    return sorter_step([&] { sort_group(values, n, out); });
}

SorterStatus sort_internal(std::vector<double>& lst, std::vector<double>& sorted_vec) noexcept {
    SorterStatus status = sorter_step([&] { fault::site(); sorted_vec.resize(lst.size()); });
    if (status.ok()) status = sorter_step([&] { sort_group(lst.data(), lst.size(), sorted_vec.data()); });
    return status;
}

}  // namespace velmora::engine

#include "engine/zero_group.hpp"

#include <algorithm>
#include <cmath>

#include "engine/bucket_scale.hpp"
#include "engine/fault_injection.hpp"
#include "engine/interpolation_sort.hpp"
#include "engine/radix_sort.hpp"

namespace velmora::engine {

namespace {

// The first key in [lo, hi] whose value the scale puts in `bucket` or a later
// one; hi + 1 when there is none. Every key in the range is a finite value's.
std::uint64_t first_key_from_bucket(const BucketScale& scale, std::uint64_t lo, std::uint64_t hi,
                                    std::int32_t bucket) noexcept {
    std::uint64_t first = lo, past = hi + 1;
    while (first < past) {
        const std::uint64_t mid = first + (past - first) / 2;
        if (scale.index(from_order_key(mid)) >= bucket) {
            past = mid;
        } else {
            first = mid + 1;
        }
    }
    return first;
}

}  // namespace

ZeroGroup::ZeroGroup(const std::vector<double>& lst, std::int64_t n, std::int64_t divisor,
                     const ScanResult& scan) {
    const BucketScale scale = BucketScale::make(n, divisor, scan.min_val, scan.max_val);
    const std::int32_t zeros = scale.index(0.0);
    // The index never decreases as the value, or its order key, grows: the
    // group is the finite values whose keys lie in [low, high], found by
    // halving the keys between the extremes (about 64 steps each), and it is
    // one contiguous range of the sorted finite values, after those of lower
    // buckets. Comparing keys then costs far less a value than the scale.
    // An extreme that is a zero stands for both signs: the scan keeps the
    // first of equal values, and -0.0 has the lower key.
    const std::uint64_t min_key = order_key(scan.min_val == 0.0 ? -0.0 : scan.min_val);
    const std::uint64_t max_key = order_key(scan.max_val == 0.0 ? 0.0 : scan.max_val);
    const std::uint64_t low = first_key_from_bucket(scale, min_key, max_key, zeros);
    const std::uint64_t high = first_key_from_bucket(scale, min_key, max_key, zeros + 1) - 1;
    std::size_t size = 0, below = 0;
    for (const double v : lst) {
        if (!std::isfinite(v)) continue;
        const std::uint64_t key = order_key(v);
        size += key >= low && key <= high;
        below += key < low;
    }
    fault::site();
    values_.reserve(size);
    for (const double v : lst) {
        if (!std::isfinite(v)) continue;
        const std::uint64_t key = order_key(v);
        if (key >= low && key <= high) values_.push_back(v);
    }
    start_ = scan.negative_infinities + below;
}

SorterStatus ZeroGroup::write_over(double* sorted) noexcept {
    return sort_internal(values_.data(), values_.size(), sorted + start_);
}

SorterStatus ZeroGroup::sort_aside() {
    fault::site();
    sorted_.resize(values_.size());
    return sort_internal(values_.data(), values_.size(), sorted_.data());
}

void ZeroGroup::copy_over(double* sorted) const noexcept {
    std::copy(sorted_.begin(), sorted_.end(), sorted + start_);
}

}  // namespace velmora::engine

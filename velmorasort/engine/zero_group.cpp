#include "engine/zero_group.hpp"

#include <cmath>

#include "engine/bucket_scale.hpp"
#include "engine/fault_injection.hpp"
#include "engine/interpolation_sort.hpp"

namespace velmora::engine {

ZeroGroup::ZeroGroup(const std::vector<double>& lst, std::int64_t n, std::int64_t divisor,
                     const ScanResult& scan) {
    const BucketScale scale = BucketScale::make(n, divisor, scan.min_val, scan.max_val);
    const std::int32_t zeros = scale.index(0.0);
    // The index never decreases as the value grows, so the group is one
    // contiguous range of the sorted finite values, after those of lower
    // buckets.
    std::size_t size = 0, below = 0;
    for (const double v : lst) {
        if (!std::isfinite(v)) continue;
        const std::int32_t i = scale.index(v);
        size += i == zeros;
        below += i < zeros;
    }
    fault::site();
    values_.reserve(size);
    for (const double v : lst) {
        if (std::isfinite(v) && scale.index(v) == zeros) values_.push_back(v);
    }
    start_ = scan.negative_infinities + below;
}

bool ZeroGroup::write_over(double* sorted) noexcept {
    return sort_internal(values_.data(), values_.size(), sorted + start_);
}

}  // namespace velmora::engine

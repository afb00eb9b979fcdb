// The linear scale that maps a value to its bucket: shared by the bucket pass
// and by everything that must know which values share a bucket.
#pragma once

#include <cstdint>
#include <limits>
#include <stdexcept>

namespace velmora::engine {

struct BucketScale {
    double min_val;
    double factor;
    std::int32_t last;   // the last bucket's index: bucket_count - 1

    // The scale of a pass over a list of `n` elements (the length read before
    // the conversion) with finite extremes min_val and max_val. Throws
    // std::overflow_error when the bucket count does not fit 32 bits.
    static BucketScale make(std::int64_t n, std::int64_t divisor, double min_val, double max_val) {
        const std::int64_t last = n / divisor;
        if (last >= std::numeric_limits<std::int32_t>::max()) {
            throw std::overflow_error("bucket count does not fit a 32-bit integer");
        }
        const double range_val = max_val - min_val;
        return {min_val, static_cast<double>(last) / range_val, static_cast<std::int32_t>(last)};
    }

    // Bucket of v. Inside the scale's domain this is the product truncated
    // toward zero; a NaN or negative product (outside the domain) goes to the
    // first bucket and one at or beyond the last bucket to the last, so no
    // index ever leaves the table and no out-of-range float-to-int cast
    // happens. Never decreases as v grows: subtraction, multiplication and
    // truncation all round monotonically.
    std::int32_t index(double v) const noexcept {
        const double product = (v - min_val) * factor;
        if (!(product >= 0.0)) return 0;
        if (product >= static_cast<double>(last)) return last;
        return static_cast<std::int32_t>(product);
    }
};

}  // namespace velmora::engine

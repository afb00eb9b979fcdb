#include "engine/bucket_pass.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#endif

#include "engine/bucket_scale.hpp"
#include "engine/fault_injection.hpp"
#include "engine/interpolation_sort.hpp"

namespace velmora::engine {
namespace {

// True when values[0, n) holds no NaN, no infinity and no zero; then `low`
// and `high` are its extremes. Two values at a time with SSE2, which every
// x86-64 processor has (the compiler will not vectorise a floating-point
// minimum on its own under strict IEEE rules).
bool plain_extremes(const double* values, std::size_t n, double& low, double& high) noexcept {
    const double inf = std::numeric_limits<double>::infinity();
    std::size_t i = 0;
    bool special = false;
    low = inf;
    high = -inf;
#if defined(__SSE2__) || defined(_M_X64)
    const __m128d magnitude = _mm_castsi128_pd(_mm_set1_epi64x(0x7FFFFFFFFFFFFFFFLL));
    const __m128d vinf = _mm_set1_pd(inf);
    const __m128d zero = _mm_setzero_pd();
    __m128d vlow = vinf, vhigh = _mm_set1_pd(-inf), flags = zero;
    for (; i + 2 <= n; i += 2) {
        const __m128d v = _mm_loadu_pd(values + i);
        // Not below infinity in magnitude: NaN or an infinity.
        flags = _mm_or_pd(flags, _mm_cmpnlt_pd(_mm_and_pd(v, magnitude), vinf));
        flags = _mm_or_pd(flags, _mm_cmpeq_pd(v, zero));
        vlow = _mm_min_pd(v, vlow);
        vhigh = _mm_max_pd(v, vhigh);
    }
    special = _mm_movemask_pd(flags) != 0;
    double lanes[2];
    _mm_storeu_pd(lanes, vlow);
    low = std::min(lanes[0], lanes[1]);
    _mm_storeu_pd(lanes, vhigh);
    high = std::max(lanes[0], lanes[1]);
#endif
    for (; i < n; ++i) {
        const double v = values[i];
        special |= !(std::fabs(v) < inf) || v == 0.0;
        low = v < low ? v : low;
        high = v > high ? v : high;
    }
    return !special;
}

}  // namespace

ScanResult scan(const std::vector<double>& lst) noexcept {
    ScanResult r;
    if (lst.empty()) {
        r.shortcut = true;
        return r;
    }
    const double inf = std::numeric_limits<double>::infinity();
    double finite_min = inf, finite_max = -inf;
    // The common case first, in one vector pass: no NaN, no infinity, no
    // zero. Then the extremes are all there is to know.
    if (plain_extremes(lst.data(), lst.size(), finite_min, finite_max)) {
        r.finite_count = lst.size();
        r.shortcut = !(finite_min < finite_max);
        r.min_val = finite_min;
        r.max_val = finite_max;
        return r;
    }
    finite_min = inf;
    finite_max = -inf;
    std::size_t nans = 0, positive_infinities = 0, negative_infinities = 0;
    std::size_t positive_zeros = 0, negative_zeros = 0;
    for (const double v : lst) {
        std::uint64_t bits;
        std::memcpy(&bits, &v, sizeof bits);
        const bool finite = std::fabs(v) < inf;
        nans += v != v;
        positive_infinities += v == inf;
        negative_infinities += v == -inf;
        positive_zeros += bits == 0;
        negative_zeros += bits == 0x8000000000000000ULL;
        finite_min = finite && v < finite_min ? v : finite_min;
        finite_max = finite && v > finite_max ? v : finite_max;
    }
    r.nans = nans;
    r.positive_infinities = positive_infinities;
    r.negative_infinities = negative_infinities;
    r.finite_count = lst.size() - nans - positive_infinities - negative_infinities;
    const double lowest = negative_infinities ? -inf : finite_min;   // over every non-NaN value
    const double highest = positive_infinities ? inf : finite_max;
    // Equal extremes (0.0 and -0.0 included) mean nothing to sort.
    r.shortcut = !(lowest < highest);
    r.both_zero_signs = positive_zeros != 0 && negative_zeros != 0;
    r.min_val = finite_min;
    r.max_val = finite_max;
    return r;
}

BucketPass::BucketPass(const std::vector<double>& lst, std::int64_t n, std::int64_t divisor,
                       const ScanResult& scan) {
    const BucketScale scale = BucketScale::make(n, divisor, scan.min_val, scan.max_val);

    // Sizing: count first, so that every bucket gets its exact room at once.
    fault::site();
    offsets_.assign(static_cast<std::size_t>(scale.last) + 2, 0);
    for (const double v : lst) {
        if (std::isfinite(v)) ++offsets_[scale.index(v) + 1];
    }
    for (std::size_t i = 1; i < offsets_.size(); ++i) offsets_[i] += offsets_[i - 1];

    // Distribution.
    fault::site();
    grouped_.resize(scan.finite_count);
    std::vector<std::size_t> cursor(offsets_.begin(), offsets_.end() - 1);
    for (const double v : lst) {
        if (std::isfinite(v)) grouped_[cursor[scale.index(v)]++] = v;
    }

    // Reservation, with the values that need no sorting already in place.
    fault::site();
    final_result_.resize(lst.size());
    lead_ = scan.negative_infinities;
    std::size_t k = 0;
    for (; k < lead_; ++k) final_result_[k] = -std::numeric_limits<double>::infinity();
    k += scan.finite_count;
    for (std::size_t j = 0; j < scan.positive_infinities; ++j) {
        final_result_[k++] = std::numeric_limits<double>::infinity();
    }
    if (scan.nans != 0) {
        for (const double v : lst) {
            if (std::isnan(v)) final_result_[k++] = v;
        }
    }
}

SorterStatus BucketPass::sort_bucket(std::int64_t i) noexcept {
    const std::size_t begin = offsets_[i];
    return sort_internal(grouped_.data() + begin, offsets_[i + 1] - begin,
                         final_result_.data() + lead_ + begin);
}

}  // namespace velmora::engine

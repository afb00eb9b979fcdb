// The bucket pass: scan, shortcut, sizing, scale, distribution and the layout
// of the joined result. The buckets, each ordered by the insertion sorter,
// define the bits of every result. Every path reads the scan; the fast paths
// give the pass's bits without it, so the pass itself runs only under the
// reference switch (sort_plan.cpp), on the calling thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/sorter_status.hpp"

namespace velmora::engine {

// What the scan learned about the converted values.
struct ScanResult {
    // The caller's own list is returned: its values other than NaN all
    // compare equal (0.0 and -0.0 included), or there are none.
    bool shortcut = false;
    double min_val = 0.0, max_val = 0.0;   // over the finite values
    std::size_t finite_count = 0;
    std::size_t negative_infinities = 0, positive_infinities = 0, nans = 0;
    // Both +0.0 and -0.0 occur: the insertion sorter decides their order.
    bool both_zero_signs = false;
};

ScanResult scan(const std::vector<double>& lst) noexcept;

// The shortcut's criterion taken value by value, for a reader that must know
// before the scan whether the values so far could still take it: holds while
// no two non-NaN values added compare unequal. Once broken it stays broken.
class ShortcutCriterion {
  public:
    bool add(double v) noexcept {
        if (v != v || !holds_) return holds_;
        if (!seen_) {
            first_ = v;
            seen_ = true;
        }
        return holds_ = v == first_;
    }
    // Adds values[0, count), stopping at the first that breaks it.
    bool add(const double* values, std::size_t count) noexcept {
        for (std::size_t i = 0; i < count && holds_; ++i) add(values[i]);
        return holds_;
    }

  private:
    double first_ = 0.0;
    bool seen_ = false;
    bool holds_ = true;
};

// Buckets laid out for a sort straight into the result. The finite values are
// grouped by bucket (input order kept within each bucket) in one array, and
// each bucket's sorted values go to the same range of the result. Infinities
// lie outside the bucket index's domain and NaN has no place in the order:
// the result is -inf..., the sorted buckets, +inf..., then the NaNs in input
// order.
class BucketPass {
  public:
    // `n` is the list length read before the conversion: it fixes the bucket
    // count (n div divisor + 1); the values are those of `lst`. Throws native
    // exceptions (std::bad_alloc, std::overflow_error) on failure.
    BucketPass(const std::vector<double>& lst, std::int64_t n, std::int64_t divisor,
               const ScanResult& scan);

    std::int64_t bucket_count() const noexcept { return static_cast<std::int64_t>(offsets_.size()) - 1; }
    std::size_t bucket_size(std::int64_t i) const noexcept { return offsets_[i + 1] - offsets_[i]; }

    // Sorts bucket i into its range of the result with sort_internal.
    [[nodiscard]] SorterStatus sort_bucket(std::int64_t i) noexcept;

    // The joined values once every non-empty bucket has been sorted.
    std::vector<double> take_result() noexcept { return std::move(final_result_); }

  private:
    std::vector<std::size_t> offsets_;   // bucket i is grouped_[offsets_[i], offsets_[i + 1])
    std::vector<double> grouped_;
    std::vector<double> final_result_;
    std::size_t lead_ = 0;               // the sorted buckets start here in the result
};

}  // namespace velmora::engine

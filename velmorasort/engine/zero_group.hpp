// Lists that hold both zero signs: only the group of values that shares the
// zeros' bucket has an order that depends on the insertion algorithm. The
// rest may be sorted by any exact method, and that group's values, ordered
// by the insertion algorithm, are then written over their range.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/bucket_pass.hpp"
#include "engine/sorter_status.hpp"

namespace velmora::engine {

class ZeroGroup {
  public:
    // Collects, in input order, the finite values of `lst` that the bucket
    // pass (`n` elements before the conversion, `divisor`) would put in the
    // zeros' bucket. `scan` must report both zero signs. Throws native
    // exceptions (std::bad_alloc, std::overflow_error).
    ZeroGroup(const std::vector<double>& lst, std::int64_t n, std::int64_t divisor, const ScanResult& scan);

    // `sorted` holds every value of the list ascending in the engine's layout
    // (-inf..., finite values, +inf..., NaNs), the zeros in any order. Sorts
    // the group with sort_internal straight into its range there; the
    // sorter's status.
    [[nodiscard]] SorterStatus write_over(double* sorted) noexcept;

    // write_over in two steps, for a caller that has the rest sorted later:
    // sorts the group aside first (the sorter's status; throws
    // std::bad_alloc), then copies it over its range.
    [[nodiscard]] SorterStatus sort_aside();
    void copy_over(double* sorted) const noexcept;
    // The group's range in the sorted values: [begin(), end()).
    std::size_t begin() const noexcept { return start_; }
    std::size_t end() const noexcept { return start_ + values_.size(); }

  private:
    std::vector<double> values_;
    std::vector<double> sorted_;   // sort_aside's result
    std::size_t start_ = 0;   // where the group's range begins in the result
};

}  // namespace velmora::engine

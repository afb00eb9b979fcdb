#include "engine/sort_plan.hpp"

#include <optional>

#include "engine/fault_injection.hpp"
#include "engine/group_sort.hpp"
#include "engine/interpolation_sort.hpp"
#include "engine/nearly_sorted.hpp"
#include "engine/parallel_region.hpp"
#include "engine/run_merge.hpp"
#include "engine/vector_sort.hpp"
#include "engine/zero_group.hpp"

namespace velmora::engine {

Outcome sort_list(std::vector<double>& lst, std::int64_t n, const ListPlan& plan,
                  std::vector<double>& result) {
    if (n <= plan.direct_max) return sort_internal(lst, result) ? Outcome::sorted : Outcome::failed;
    const ScanResult scan = engine::scan(lst);
    if (scan.shortcut) return Outcome::shortcut;
    // Both zero signs: every path below may sort the list by an exact method
    // and then rewrite the one group whose order the insertion algorithm
    // decides.
    std::optional<ZeroGroup> zeros;
    if (scan.both_zero_signs && !reference_mode()) zeros.emplace(lst, n, plan.divisor, scan);
    const bool nan_free_zeros = zeros && scan.nans == 0;
    if (sort_by_runs(lst, nan_free_zeros) || sort_nearly_sorted(lst, nan_free_zeros)) {
        result = std::move(lst);
        return !zeros || zeros->write_over(result.data()) ? Outcome::sorted : Outcome::failed;
    }
    // supersort: the team sorts such a list whole, without the lock (test
    // builds may send teams of two or more to the buckets instead).
    const int team = plan.team ? plan.team(n / plan.divisor + 1, scan.finite_count) : 0;
    const bool on_team = team == 1 || (team > 1 && whole_list_teams());
    if ((plan.whole_list || on_team) && (!scan.both_zero_signs || zeros) && !reference_mode()) {
        // NaNs aside, one ascending order but for the zeros' group, which is
        // rewritten below: the buckets would give these bits.
        fault::site();
        result.resize(lst.size());
        if (on_team) {
            if (sort_whole_list_on_team(lst.data(), lst.size(), scan.nans, result.data(), team) == lst.data()) {
                lst.swap(result);
            }
        } else {
            sort_unique_with_nans(lst.data(), lst.size(), scan.nans, result.data());
        }
        std::vector<double>().swap(lst);   // scratch no more: gone before the floats are made
        return !zeros || zeros->write_over(result.data()) ? Outcome::sorted : Outcome::failed;
    }
    BucketPass pass(lst, n, plan.divisor, scan);
    std::vector<double>().swap(lst);   // the pass holds every value now
    if (!plan.sort_buckets(pass)) return Outcome::failed;
    result = pass.take_result();
    return Outcome::sorted;
}

bool key_pipeline_open() noexcept { return vector_kernel_in_use() && !reference_mode(); }

void sort_keys(std::uint64_t* keys, std::size_t n) {
    if (sort_keys_by_runs(keys, n) || sort_keys_nearly_sorted(keys, n)) return;
    vector_sort_keys(keys, n);
}

bool sort_buckets_in_sequence(BucketPass& pass) noexcept {
    for (std::int64_t i = 0; i < pass.bucket_count(); ++i) {
        if (pass.bucket_size(i) != 0 && !pass.sort_bucket(i)) return false;
    }
    return true;
}

}  // namespace velmora::engine

#include "engine/sort_plan.hpp"

#include <optional>
#include <utility>

#include "engine/fault_injection.hpp"
#include "engine/group_sort.hpp"
#include "engine/interpolation_sort.hpp"
#include "engine/nearly_sorted.hpp"
#include "engine/parallel_region.hpp"
#include "engine/run_merge.hpp"
#include "engine/vector_sort.hpp"
#include "engine/tuning.hpp"
#include "engine/zero_group.hpp"

namespace velmora::engine {

Outcome sort_list(std::vector<double>& lst, std::int64_t n, const ListPlan& plan,
                  std::vector<double>& result, SorterStatus& status) {
    const auto outcome = [&status](SorterStatus done) {
        status = std::move(done);
        return status.ok() ? Outcome::sorted : Outcome::failed;
    };
    if (n <= plan.direct_max) return outcome(sort_internal(lst, result));
    const ScanResult scan = engine::scan(lst);
    if (scan.shortcut) return Outcome::shortcut;
    // Both zero signs: every path below may sort the list by an exact method
    // and then rewrite the one group whose order the insertion algorithm
    // decides.
    const bool reference = reference_mode();
    std::optional<ZeroGroup> zeros;
    if (scan.both_zero_signs && !reference) zeros.emplace(lst, n, plan.divisor, scan);
    const bool nan_free_zeros = zeros && scan.nans == 0;
    if (sort_by_runs(lst, nan_free_zeros) || sort_nearly_sorted(lst, nan_free_zeros)) {
        result = std::move(lst);
        return outcome(zeros ? zeros->write_over(result.data()) : SorterStatus{});
    }
    if (!reference) {
        // NaNs aside, one ascending order but for the zeros' group, which is
        // rewritten below: the buckets would give these bits. supersort's
        // team sorts it without the lock.
        const int team = plan.team ? plan.team(n / plan.divisor + 1, scan.finite_count) : 0;
        if (team >= tuning::kPipelineThreadsMin && plan.pieces != nullptr) {
            // The zeros' group is sorted now, before the team starts: its
            // sorter's failure names this path.
            if (zeros && outcome(zeros->sort_aside()) == Outcome::failed) return Outcome::failed;
            plan.pieces->team = team;
            plan.pieces->nans = scan.nans;
            plan.pieces->zeros = std::move(zeros);
            result = std::move(lst);
            return Outcome::pieces;
        }
        fault::site();
        result.resize(lst.size());
        if (team > 0) {
            double* const sorted =
                sort_whole_list_on_team(lst.data(), lst.size(), scan.nans, result.data(), team, plan.without_lock);
            if (sorted == lst.data()) lst.swap(result);
        } else {
            sort_unique_with_nans(lst.data(), lst.size(), scan.nans, result.data());
        }
        std::vector<double>().swap(lst);   // scratch no more: gone before the floats are made
        return outcome(zeros ? zeros->write_over(result.data()) : SorterStatus{});
    }
    // The reference: every bucket through the insertion sorter, in sequence.
    BucketPass pass(lst, n, plan.divisor, scan);
    std::vector<double>().swap(lst);   // the pass holds every value now
    if (outcome(sort_buckets_in_sequence(pass)) == Outcome::failed) return Outcome::failed;
    result = pass.take_result();
    return Outcome::sorted;
}

bool key_pipeline_open() noexcept { return vector_kernel_in_use() && !reference_mode(); }

void sort_keys(std::uint64_t* keys, std::size_t n) {
    if (sort_keys_by_runs(keys, n) || sort_keys_nearly_sorted(keys, n)) return;
    vector_sort_keys(keys, n);
}

SorterStatus sort_buckets_in_sequence(BucketPass& pass) noexcept {
    for (std::int64_t i = 0; i < pass.bucket_count(); ++i) {
        if (pass.bucket_size(i) == 0) continue;
        SorterStatus status = pass.sort_bucket(i);
        if (!status.ok()) return status;
    }
    return {};
}

}  // namespace velmora::engine

#include "engine_plans.hpp"

#include <algorithm>

#include "engine/group_sort.hpp"
#include "engine/parallel_region.hpp"
#include "engine/tuning.hpp"

namespace velmora::fuzz {
namespace {

// The reference switch for one run; off again however the run ends.
struct ReferenceMode {
    explicit ReferenceMode(bool on) { engine::set_reference_mode(on); }
    ~ReferenceMode() { engine::set_reference_mode(false); }
};

PlanRun run(const std::vector<double>& values, std::int64_t n, const engine::ListPlan& plan, bool reference) {
    const ReferenceMode mode(reference);
    std::vector<double> lst(values), result;
    PlanRun r{engine::sort_list(lst, n, plan, result), {}};
    r.values = std::move(result);
    return r;
}

// supersort's plan as the module builds it: the team function, asked once
// after the scan, fixes the team the buckets are sorted by (a team of one
// sorts a list with a unique order in one piece).
PlanRun run_supersort(const std::vector<double>& values, std::int64_t n, bool reference,
                      std::function<int(std::int64_t, std::size_t)> size_team) {
    int team = 1;
    const engine::ListPlan plan{-1, tuning::kSupersortBucketDivisor, false,
                                [&team](engine::BucketPass& pass) {
                                    return engine::sort_buckets_in_parallel(pass, team);
                                },
                                [&team, &size_team](std::int64_t bucket_count, std::size_t finite) {
                                    return team = size_team(bucket_count, finite);
                                }};
    return run(values, n, plan, reference);
}

}  // namespace

PlanRun run_sort_plan(const std::vector<double>& values, std::int64_t n, bool reference) {
    const engine::ListPlan plan{tuning::kDirectPathMax, tuning::kSortBucketDivisor, true,
                                engine::sort_buckets_in_sequence, nullptr};
    return run(values, n, plan, reference);
}

PlanRun run_supersort_plan(const std::vector<double>& values, std::int64_t n, int team, bool reference) {
    // team_size() would also cap the team at the CPUs this process may use;
    // results must not depend on the team, so the harness asks for it as
    // given, capped only by the bucket count as team_size() caps it.
    return run_supersort(values, n, reference, [team](std::int64_t bucket_count, std::size_t) {
        return static_cast<int>(std::min<std::int64_t>(team, std::max<std::int64_t>(bucket_count, 1)));
    });
}

PlanRun run_supersort_plan_sized(const std::vector<double>& values, std::int64_t n, int requested,
                                 bool reference) {
    return run_supersort(values, n, reference, [requested](std::int64_t bucket_count, std::size_t finite) {
        return engine::team_size(requested, bucket_count, finite);
    });
}

}  // namespace velmora::fuzz

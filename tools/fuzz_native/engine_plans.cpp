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

engine::ListPlan supersort_plan(std::function<bool(engine::BucketPass&)> sort_buckets) {
    return {-1, tuning::kSupersortBucketDivisor, false, std::move(sort_buckets)};
}

}  // namespace

PlanRun run_sort_plan(const std::vector<double>& values, std::int64_t n, bool reference) {
    const engine::ListPlan plan{tuning::kDirectPathMax, tuning::kSortBucketDivisor, true,
                                engine::sort_buckets_in_sequence};
    return run(values, n, plan, reference);
}

PlanRun run_supersort_plan(const std::vector<double>& values, std::int64_t n, int team, bool reference) {
    // team_size() would also cap the team at the CPUs this process may use;
    // results must not depend on the team, so the harness asks for it as
    // given, capped only by the bucket count as team_size() caps it.
    const auto plan = supersort_plan([team](engine::BucketPass& pass) {
        const auto size = std::min<std::int64_t>(team, std::max<std::int64_t>(pass.bucket_count(), 1));
        return engine::sort_buckets_in_parallel(pass, static_cast<int>(size));
    });
    return run(values, n, plan, reference);
}

PlanRun run_supersort_plan_sized(const std::vector<double>& values, std::int64_t n, int requested,
                                 bool reference) {
    const auto plan = supersort_plan([requested](engine::BucketPass& pass) {
        const int team = engine::team_size(requested, pass.bucket_count(), pass.finite_count());
        return engine::sort_buckets_in_parallel(pass, team);
    });
    return run(values, n, plan, reference);
}

}  // namespace velmora::fuzz

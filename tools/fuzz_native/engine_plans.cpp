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

PlanRun run(const std::vector<double>& values, const engine::ListPlan& plan, bool reference) {
    const ReferenceMode mode(reference);
    std::vector<double> lst(values), result;
    const auto n = static_cast<std::int64_t>(values.size());
    PlanRun r{engine::sort_list(lst, n, plan, result), {}};
    r.values = std::move(result);
    return r;
}

}  // namespace

PlanRun run_sort_plan(const std::vector<double>& values, bool reference) {
    const engine::ListPlan plan{tuning::kDirectPathMax, tuning::kSortBucketDivisor, true,
                                engine::sort_buckets_in_sequence};
    return run(values, plan, reference);
}

PlanRun run_supersort_plan(const std::vector<double>& values, int team, bool reference) {
    // team_size() would also cap the team at the CPUs this process may use;
    // results must not depend on the team, so the harness asks for it as
    // given, capped only by the bucket count as team_size() caps it.
    const engine::ListPlan plan{-1, tuning::kSupersortBucketDivisor, false,
                                [team](engine::BucketPass& pass) {
                                    const int size = static_cast<int>(std::min<std::int64_t>(
                                        team, std::max<std::int64_t>(pass.bucket_count(), 1)));
                                    return engine::sort_buckets_in_parallel(pass, size);
                                }};
    return run(values, plan, reference);
}

}  // namespace velmora::fuzz

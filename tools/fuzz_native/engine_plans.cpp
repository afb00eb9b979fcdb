#include "engine_plans.hpp"

#include <algorithm>
#include <utility>

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
    engine::SorterStatus status;
    PlanRun r{engine::sort_list(lst, n, plan, result, status), {}};
    r.values = std::move(result);
    return r;
}

// supersort's plan as the module builds it, without an interpreter lock to
// give up: the team function, asked once after the scan, fixes the team.
PlanRun run_supersort(const std::vector<double>& values, std::int64_t n, bool reference,
                      std::function<int(std::int64_t, std::size_t)> size_team) {
    const engine::ListPlan plan{-1, tuning::kSupersortBucketDivisor, nullptr, std::move(size_team)};
    return run(values, n, plan, reference);
}

}  // namespace

PlanRun run_sort_plan(const std::vector<double>& values, std::int64_t n, bool reference) {
    const engine::ListPlan plan{tuning::kDirectPathMax, tuning::kSortBucketDivisor, nullptr, nullptr};
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

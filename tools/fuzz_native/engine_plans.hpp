// The engine's two entry plans as the extension module builds them, run on a
// copy of the converted values of a list that had `n` elements, without the
// interpreter.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/sort_plan.hpp"

namespace velmora::fuzz {

struct PlanRun {
    engine::Outcome outcome;
    std::vector<double> values;   // the result when outcome is sorted
};

// sort(): direct path up to 4999 values, one piece where the order is unique
// (but for the zeros' group), buckets of about 750 sorted in sequence under
// the reference switch.
PlanRun run_sort_plan(const std::vector<double>& values, std::int64_t n, bool reference);

// supersort() past its hand-over to sort: a real team of `team` threads (no
// more than there are buckets of about 1000) sorts the list whole, in one
// piece up to a team of two, split beyond; under the reference switch the
// buckets are sorted in sequence, whatever the team.
PlanRun run_supersort_plan(const std::vector<double>& values, std::int64_t n, int team, bool reference);

// The same with the team sized as the module sizes num_threads=`requested`
// (team_size: the CPUs usable, one per bucket, at least values per thread).
PlanRun run_supersort_plan_sized(const std::vector<double>& values, std::int64_t n, int requested,
                                 bool reference);

}  // namespace velmora::fuzz

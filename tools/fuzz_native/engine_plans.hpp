// The engine's two entry plans as the extension module builds them, run on a
// copy of a list, without the interpreter.
#pragma once

#include <vector>

#include "engine/sort_plan.hpp"

namespace velmora::fuzz {

struct PlanRun {
    engine::Outcome outcome;
    std::vector<double> values;   // the result when outcome is sorted
};

// sort(): direct path up to 4999 values, buckets of about 750, one piece
// where the order is unique, buckets sorted in sequence.
PlanRun run_sort_plan(const std::vector<double>& values, bool reference);

// supersort() past its hand-over to sort: buckets of about 1000, always
// through the bucket pass, sorted by a real team of `team` threads.
PlanRun run_supersort_plan(const std::vector<double>& values, int team, bool reference);

}  // namespace velmora::fuzz

// The differential fuzz target over the engine: every decoded list goes
// through sort's plan (fast and reference mode) and, when long enough for
// supersort to keep it, through supersort's plan on teams of one to four
// threads (in one piece up to two, split beyond); each result is held against
// the model of the definition, against std::sort, and against the others.
#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "differential_checks.hpp"
#include "engine/parallel_region.hpp"
#include "engine/tuning.hpp"
#include "result_model.hpp"
#include "value_decoder.hpp"

namespace velmora::fuzz {
namespace {

// The insertion sorter's budget is checked on this many leading values: it
// is met or exceeded within a few thousand (evenly spread values finish up
// to about 3000), and each check costs two insertion sorts.
constexpr std::size_t kBudgetCheckMax = 2500;

void check_sort(const std::vector<double>& values, std::int64_t n) {
    const ModelResult model = model_list(values, n, tuning::kDirectPathMax, tuning::kSortBucketDivisor);
    const PlanRun fast = run_sort_plan(values, n, false);
    check_matches_model("sort", fast, model);
    check_matches_model("sort in reference mode", run_sort_plan(values, n, true), model);
    if (fast.outcome == engine::Outcome::sorted) check_sorted_permutation("sort", values, fast.values);
}

void check_supersort(const std::vector<double>& values, std::int64_t n) {
    const ModelResult model = model_list(values, n, -1, tuning::kSupersortBucketDivisor);
    PlanRun alone{};
    for (int team = 1; team <= 4; ++team) {
        const PlanRun run = run_supersort_plan(values, n, team, false);
        if (team == 1) {
            check_matches_model("supersort, team of 1", run, model);
            if (run.outcome == engine::Outcome::sorted) check_sorted_permutation("supersort", values, run.values);
            alone = run;
        } else {
            check_same_bits("supersort, team of 2 to 4 against 1", run.values, alone.values);
            check_matches_model("supersort, team of 2 to 4", run, model);
        }
    }
    // The module's own team sizing, for num_threads=4.
    check_matches_model("supersort in reference mode, team sized for 4",
                        run_supersort_plan_sized(values, n, 4, true), model);
}

}  // namespace
}  // namespace velmora::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace velmora;
    // Real teams on short lists: one value per thread suffices.
    static const bool teams_on_short_lists = (engine::set_test_teams(1, false), true);
    (void)teams_on_short_lists;

    const fuzz::DecodedList list = fuzz::decode_list(data, size);
    const std::vector<double>& values = list.values;
    fuzz::check_sort(values, list.length_before);
    if (list.length_before > tuning::kDelegationMax) fuzz::check_supersort(values, list.length_before);
    const std::size_t head = std::min(values.size(), fuzz::kBudgetCheckMax);
    fuzz::check_insertion_budget(std::vector<double>(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(head)));
    return 0;
}

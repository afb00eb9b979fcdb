// Presorted runs: input made of a few long ascending or descending runs
// (already sorted, reversed, sawtooth data) is merged run by run instead of
// going through the bucket pass.
#pragma once

#include <vector>

namespace velmora::engine {

// When `lst` has a unique ascending order (no NaN, not both zero signs) and
// consists of at most one run per kMinAverageRun values, writes its sorted
// values to `out` and returns true; otherwise returns false and leaves `out`
// alone. The result is then bit-identical to any other correct sort, the
// insertion sorter's included. May throw std::bad_alloc.
bool sort_by_runs(const std::vector<double>& lst, std::vector<double>& out);

}  // namespace velmora::engine

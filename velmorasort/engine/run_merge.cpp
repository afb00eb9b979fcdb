#include "engine/run_merge.hpp"

#include <algorithm>
#include <cstddef>
#include <memory>

#include "engine/fault_injection.hpp"
#include "engine/group_sort.hpp"
#include "engine/tuning.hpp"

namespace velmora::engine {
namespace {

// Run boundaries: a run is a maximal non-decreasing stretch, or a strictly
// decreasing one (reversed when copied, so it stays a permutation). Gives up,
// returning false, as soon as there are more runs than `limit`.
bool find_runs(const std::vector<double>& lst, std::size_t limit, std::vector<std::size_t>& starts) {
    const std::size_t n = lst.size();
    std::size_t i = 0;
    while (i < n) {
        if (starts.size() >= limit) return false;
        starts.push_back(i);
        std::size_t j = i + 1;
        if (j < n && lst[j] < lst[i]) {
            while (j < n && lst[j] < lst[j - 1]) ++j;
        } else {
            while (j < n && !(lst[j] < lst[j - 1])) ++j;
        }
        i = j;
    }
    starts.push_back(n);
    return true;
}

}  // namespace

bool sort_by_runs(std::vector<double>& lst, bool zeros_fixed_after) {
    const std::size_t n = lst.size();
    const std::size_t limit = std::max<std::size_t>(1, n / tuning::kMinAverageRun);
    std::vector<std::size_t> starts;
    fault::site();
    starts.reserve(limit + 1);
    if (!find_runs(lst, limit, starts) || !(zeros_fixed_after || fast_method_allowed(lst.data(), n))) return false;

    std::unique_ptr<double[]> spare;
    if (starts.size() > 2) {
        fault::site();
        spare.reset(new double[n]);   // no initialisation: every value is written before it is read
    }
    for (std::size_t r = 0; r + 1 < starts.size(); ++r) {
        const std::size_t lo = starts[r], hi = starts[r + 1];
        if (hi - lo > 1 && lst[lo + 1] < lst[lo]) std::reverse(lst.begin() + lo, lst.begin() + hi);
    }
    // Pairwise merges of neighbouring runs, alternating between the buffers.
    double* source = lst.data();
    double* target = spare.get();
    while (starts.size() > 2) {
        std::size_t kept = 0;
        for (std::size_t r = 0; r + 1 < starts.size(); r += 2) {
            const std::size_t lo = starts[r];
            const std::size_t mid = starts[r + 1];
            const std::size_t hi = r + 2 < starts.size() ? starts[r + 2] : mid;
            std::merge(source + lo, source + mid, source + mid, source + hi, target + lo);
            starts[kept++] = lo;
        }
        starts[kept++] = n;
        starts.resize(kept);
        std::swap(source, target);
    }
    if (source != lst.data()) std::copy(source, source + n, lst.data());
    return true;
}

}  // namespace velmora::engine

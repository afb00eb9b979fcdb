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
template <typename T>
bool find_runs(const T* data, std::size_t n, std::size_t limit, std::vector<std::size_t>& starts) {
    std::size_t i = 0;
    while (i < n) {
        if (starts.size() >= limit) return false;
        starts.push_back(i);
        std::size_t j = i + 1;
        if (j < n && data[j] < data[i]) {
            while (j < n && data[j] < data[j - 1]) ++j;
        } else {
            while (j < n && !(data[j] < data[j - 1])) ++j;
        }
        i = j;
    }
    starts.push_back(n);
    return true;
}

// The runs' starts, with room for them; false, with `starts` no longer
// meaningful, when there are more than one per kMinAverageRun values.
template <typename T>
bool few_runs(const T* data, std::size_t n, std::vector<std::size_t>& starts) {
    const std::size_t limit = std::max<std::size_t>(1, n / tuning::kMinAverageRun);
    fault::site();
    starts.reserve(limit + 1);
    return find_runs(data, n, limit, starts);
}

// Sorts data[0, n), made of the runs that begin at `starts`, in place.
template <typename T>
void merge_runs(T* data, std::size_t n, std::vector<std::size_t>& starts) {
    std::unique_ptr<T[]> spare;
    if (starts.size() > 2) {
        fault::site();
        spare.reset(new T[n]);   // no initialisation: every value is written before it is read
    }
    for (std::size_t r = 0; r + 1 < starts.size(); ++r) {
        const std::size_t lo = starts[r], hi = starts[r + 1];
        if (hi - lo > 1 && data[lo + 1] < data[lo]) std::reverse(data + lo, data + hi);
    }
    // Pairwise merges of neighbouring runs, alternating between the buffers.
    T* source = data;
    T* target = spare.get();
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
    if (source != data) std::copy(source, source + n, data);
}

}  // namespace

bool sort_by_runs(std::vector<double>& lst, bool zeros_fixed_after) {
    const std::size_t n = lst.size();
    std::vector<std::size_t> starts;
    if (!few_runs(lst.data(), n, starts) || !(zeros_fixed_after || fast_method_allowed(lst.data(), n))) return false;
    merge_runs(lst.data(), n, starts);
    return true;
}

bool sort_keys_by_runs(std::uint64_t* keys, std::size_t n) {
    std::vector<std::size_t> starts;
    if (!few_runs(keys, n, starts)) return false;
    merge_runs(keys, n, starts);
    return true;
}

}  // namespace velmora::engine

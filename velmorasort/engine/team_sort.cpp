#include "engine/team_sort.hpp"

#include <omp.h>

#include <algorithm>

#include "engine/group_sort.hpp"
#include "engine/portable.hpp"

namespace velmora::engine {
namespace {

using portable::LoopIndex;

// Number of values of `a` among the first k of the merge of a and b (values
// of a first among equals).
std::size_t merge_split(const double* a, std::size_t len_a, const double* b, std::size_t len_b,
                        std::size_t k) {
    std::size_t lo = k > len_b ? k - len_b : 0;
    std::size_t hi = std::min(k, len_a);
    while (lo < hi) {
        const std::size_t i = lo + (hi - lo) / 2;
        if (a[i] <= b[k - i - 1]) {
            lo = i + 1;
        } else {
            hi = i;
        }
    }
    return lo;
}

}  // namespace

void team_sort(double* values, std::size_t n, double* out) noexcept {
    const std::size_t team = static_cast<std::size_t>(omp_get_num_threads());
    // Slice k of `slices` equal slices starts here.
    const auto bound = [n](std::size_t k, std::size_t slices) { return n * k / slices; };

#pragma omp for schedule(static)
    for (LoopIndex slice = 0; slice < static_cast<LoopIndex>(team); ++slice) {
        const std::size_t lo = bound(slice, team);
        sort_unique(values + lo, bound(slice + 1, team) - lo, out + lo);
    }
    // Runs of `width` slices are merged pairwise into runs twice as wide,
    // alternating between the two buffers.
    double* source = out;
    double* target = values;
    for (std::size_t width = 1; width < team; width *= 2) {
        const std::size_t pairs = (team + 2 * width - 1) / (2 * width);
#pragma omp for schedule(static)
        for (LoopIndex job = 0; job < static_cast<LoopIndex>(pairs * team); ++job) {
            const std::size_t pair = static_cast<std::size_t>(job) / team;
            const std::size_t piece = static_cast<std::size_t>(job) % team;
            const std::size_t lo = bound(2 * pair * width, team);
            const std::size_t mid = bound(std::min((2 * pair + 1) * width, team), team);
            const std::size_t hi = bound(std::min((2 * pair + 2) * width, team), team);
            const std::size_t len = hi - lo;
            const std::size_t k0 = len * piece / team, k1 = len * (piece + 1) / team;
            const double* a = source + lo;
            const double* b = source + mid;
            const std::size_t i0 = merge_split(a, mid - lo, b, hi - mid, k0);
            const std::size_t i1 = merge_split(a, mid - lo, b, hi - mid, k1);
            std::merge(a + i0, a + i1, b + (k0 - i0), b + (k1 - i1), target + lo + k0);
        }
        std::swap(source, target);
    }
    if (source != out) {
#pragma omp for schedule(static)
        for (LoopIndex slice = 0; slice < static_cast<LoopIndex>(team); ++slice) {
            std::copy(source + bound(slice, team), source + bound(slice + 1, team), out + bound(slice, team));
        }
    }
}

}  // namespace velmora::engine

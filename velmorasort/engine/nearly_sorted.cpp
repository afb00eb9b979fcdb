#include "engine/nearly_sorted.hpp"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>

#include "engine/fault_injection.hpp"
#include "engine/group_sort.hpp"
#include "engine/tuning.hpp"
#include "engine/vector_sort.hpp"

namespace velmora::engine {
namespace {

// Splits lst into a non-decreasing sequence, kept in buf[0, kept), and the
// values set aside, in buf[kept, n). A value v below the last kept one is set
// aside, unless at most kMaxIntruders kept values lie above it and the next
// value falls below them too: then those were the intruders (large values
// moved forward) and go aside instead, and v is kept. Either way buf[0, kept)
// stays non-decreasing, and each value set aside costs at most
// kMaxIntruders + 1 steps. Returns the number kept, or 0 once more than
// `limit` values have been set aside.
template <typename T>
std::size_t split_displaced(const T* lst, std::size_t n, std::size_t limit, T* buf) noexcept {
    constexpr std::size_t kMaxIntruders = 8;
    if (n == 0) return 0;
    std::size_t kept = 1, aside = 0;
    T last = buf[0] = lst[0];   // buf[kept - 1], kept in a register
    for (std::size_t i = 1; i < n; ++i) {
        const T v = lst[i];
        if (!(v < last)) {
            buf[kept++] = last = v;
            continue;
        }
        std::size_t above = 1;
        while (above <= kMaxIntruders && above < kept && v < buf[kept - above - 1]) ++above;
        if (above <= kMaxIntruders && (i + 1 == n || lst[i + 1] < buf[kept - above])) {
            aside += above;
            if (aside > limit) return 0;
            // The two regions may touch within the last few values: memmove.
            std::memmove(buf + n - aside, buf + kept - above, above * sizeof(T));
            kept -= above;
            buf[kept++] = last = v;
        } else {
            if (++aside > limit) return 0;
            buf[n - aside] = v;
        }
    }
    return kept;
}

// True when keys[0, n) has more than `most` descents (a key below the one
// before it). Every descent involves a value that the split sets aside, and
// each such value two at most: a list with more than 2 * limit descents is
// one the split gives up on. Counted block by block without a branch per
// value, this spares random input the split's buffer and its mispredicted
// branches; it gives up after about 4 * limit values, a block more at most.
bool more_descents_than(const std::uint64_t* keys, std::size_t n, std::size_t most) noexcept {
    constexpr std::size_t kBlock = 512;
    std::size_t descents = 0;
    for (std::size_t start = 1; start < n; start += kBlock) {
        const std::size_t end = std::min(n, start + kBlock);
        for (std::size_t i = start; i < end; ++i) descents += keys[i] < keys[i - 1];
        if (descents > most) return true;
    }
    return false;
}

}  // namespace

bool sort_nearly_sorted(std::vector<double>& lst, bool zeros_fixed_after) {
    const std::size_t n = lst.size();
    const std::size_t limit = n / tuning::kMaxDisplacedShare;
    if (limit == 0) return false;
    fault::site();
    std::unique_ptr<double[]> buf(new double[n]);   // no initialisation: every value is written before it is read
    const std::size_t kept = split_displaced(lst.data(), n, limit, buf.get());
    if (kept == 0 || !(zeros_fixed_after || fast_method_allowed(lst.data(), n))) return false;

    const std::size_t aside = n - kept;
    fault::site();
    std::unique_ptr<double[]> sorted_aside(new double[aside]);
    sort_unique(buf.get() + kept, aside, sorted_aside.get());
    std::merge(buf.get(), buf.get() + kept, sorted_aside.get(), sorted_aside.get() + aside, lst.data());
    return true;
}

bool sort_keys_nearly_sorted(std::uint64_t* keys, std::size_t n) {
    const std::size_t limit = n / tuning::kMaxDisplacedShare;
    if (limit == 0 || more_descents_than(keys, n, 2 * limit)) return false;
    fault::site();
    std::unique_ptr<std::uint64_t[]> buf(new std::uint64_t[n]);   // no initialisation, as above
    const std::size_t kept = split_displaced(keys, n, limit, buf.get());
    if (kept == 0) return false;
    // Keys need no room of their own to sort in: those set aside are sorted
    // where they lie.
    std::uint64_t* const aside = buf.get() + kept;
    if (vector_kernel_in_use() && n - kept >= tuning::kVectorSortMinimum) {
        vector_sort_keys(aside, n - kept);
    } else {
        std::sort(aside, buf.get() + n);
    }
    std::merge(buf.get(), aside, aside, buf.get() + n, keys);
    return true;
}

}  // namespace velmora::engine

#include "engine/key_sort.hpp"

#include "engine/group_sort.hpp"
#include "engine/nearly_sorted.hpp"
#include "engine/run_merge.hpp"
#include "engine/vector_sort.hpp"

namespace velmora::engine {
namespace {

// Every key of a NaN lies outside these: a negative NaN's below -inf's, a
// positive NaN's above +inf's.
constexpr std::uint64_t kNegativeInfinityKey = 0x000FFFFFFFFFFFFFULL;
constexpr std::uint64_t kPositiveInfinityKey = 0xFFF0000000000000ULL;
constexpr std::uint64_t kPositiveZeroKey = 0x8000000000000000ULL;

}  // namespace

bool KeyFacts::keys_decide(const std::uint64_t* keys, std::size_t n) const noexcept {
    if (n == 0 || low_ == high_) return false;
    if (low_ < kNegativeInfinityKey || high_ > kPositiveInfinityKey) return false;
    if (!zero_) return true;
    // Only lists that hold a zero pay for this pass.
    bool positive = false, negative = false;
    for (std::size_t i = 0; i < n; ++i) {
        positive |= keys[i] == kPositiveZeroKey;
        negative |= keys[i] == kNegativeZeroKey;
    }
    return !(positive && negative);
}

bool key_pipeline_open() noexcept { return vector_kernel_in_use() && !reference_mode(); }

void sort_keys(std::uint64_t* keys, std::size_t n) {
    if (sort_keys_by_runs(keys, n) || sort_keys_nearly_sorted(keys, n)) return;
    vector_sort_keys(keys, n);
}

}  // namespace velmora::engine

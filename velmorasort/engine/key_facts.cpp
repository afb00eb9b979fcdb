#include "engine/key_facts.hpp"

namespace velmora::engine {
namespace {

// Every key of a NaN lies outside these: a negative NaN's below -inf's, a
// positive NaN's above +inf's.
constexpr std::uint64_t kNegativeInfinityKey = 0x000FFFFFFFFFFFFFULL;
constexpr std::uint64_t kPositiveInfinityKey = 0xFFF0000000000000ULL;
constexpr std::uint64_t kNegativeZeroKey = 0x7FFFFFFFFFFFFFFFULL;
constexpr std::uint64_t kPositiveZeroKey = 0x8000000000000000ULL;

}  // namespace

bool KeyFacts::keys_decide(const std::uint64_t* keys, std::size_t n) const noexcept {
    if (n == 0 || differs_ == 0) return false;
    if (!special_) return true;
    // Only lists that hold a zero, an infinity or a NaN pay for this pass.
    bool nan = false, positive = false, negative = false;
    for (std::size_t i = 0; i < n; ++i) {
        nan |= keys[i] < kNegativeInfinityKey || keys[i] > kPositiveInfinityKey;
        positive |= keys[i] == kPositiveZeroKey;
        negative |= keys[i] == kNegativeZeroKey;
    }
    return !nan && !(positive && negative);
}

}  // namespace velmora::engine

#include "engine/radix_sort.hpp"

#include <algorithm>

#include "engine/tuning.hpp"

namespace velmora::engine {
namespace {

// Digits of kBits bits, the last one holding what is left of the 64.
template <int kBits>
struct Digits {
    static constexpr int kCount = (64 + kBits - 1) / kBits;
    static constexpr std::size_t kRadix = std::size_t{1} << kBits;
    static std::size_t of(std::uint64_t key, int d) noexcept {
        return static_cast<std::size_t>(key >> (d * kBits)) & (kRadix - 1);
    }
};

inline std::uint64_t load(const double* p) noexcept {
    std::uint64_t k;
    std::memcpy(&k, p, sizeof k);
    return k;
}

inline void store(double* p, std::uint64_t k) noexcept { std::memcpy(p, &k, sizeof k); }

// Sorts with digits of kBits bits; Count is wide enough for n. Counting
// tables: 8 x 256 or 6 x 2048 entries on the stack.
template <typename Count, int kBits>
void radix_sort_counted(double* values, std::size_t n, double* out) noexcept {
    using D = Digits<kBits>;
    constexpr int kDigits = D::kCount;
    constexpr std::size_t kRadix = D::kRadix;
    // One pass turns every value into its key (kept in `values`) and counts
    // the digits of all positions at once.
    Count counts[kDigits][kRadix] = {};
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t key = order_key(values[i]);
        store(values + i, key);
        for (int d = 0; d < kDigits; ++d) ++counts[d][D::of(key, d)];
    }
    double* source = values;
    double* target = out;
    const std::uint64_t first = load(values);
    for (int d = 0; d < kDigits; ++d) {
        Count* count = counts[d];
        // Every key has the same digit here: the pass would move nothing.
        if (count[D::of(first, d)] == n) continue;
        Count sum = 0;
        for (std::size_t b = 0; b < kRadix; ++b) {
            const Count c = count[b];
            count[b] = sum;
            sum += c;
        }
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint64_t key = load(source + i);
            store(target + count[D::of(key, d)]++, key);
        }
        std::swap(source, target);
    }
    for (std::size_t i = 0; i < n; ++i) out[i] = from_order_key(load(source + i));
}

}  // namespace

void radix_sort(double* values, std::size_t n, double* out) noexcept {
    if (n < 2) {
        if (n == 1) out[0] = values[0];
        return;
    }
    if (n <= UINT32_MAX) {
        if (n >= tuning::kWideDigitsFrom) {
            radix_sort_counted<std::uint32_t, 11>(values, n, out);
        } else {
            radix_sort_counted<std::uint32_t, 8>(values, n, out);
        }
    } else {
        radix_sort_counted<std::size_t, 11>(values, n, out);
    }
}

}  // namespace velmora::engine

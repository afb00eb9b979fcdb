// Least-significant-digit radix sort over the order-preserving integer image
// of doubles: linear time whatever the distribution, with no worst case.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace velmora::engine {

// The integer image of a double that orders like the double: negative values
// have every bit flipped, the others just the sign bit. -0.0 maps just below
// +0.0. Only meaningful for values that are not NaN.
inline std::uint64_t order_key(double v) noexcept {
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    const std::uint64_t mask = static_cast<std::uint64_t>(static_cast<std::int64_t>(bits) >> 63) |
                               0x8000000000000000ULL;
    return bits ^ mask;
}

inline double from_order_key(std::uint64_t key) noexcept {
    const std::uint64_t mask = static_cast<std::uint64_t>(static_cast<std::int64_t>(~key) >> 63) |
                               0x8000000000000000ULL;
    const std::uint64_t bits = key ^ mask;
    double v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

// Sorts the NaN-free values[0, n) ascending into out[0, n), by the order of
// order_key (so every -0.0 precedes every +0.0). `values` is used as scratch
// and holds garbage afterwards; out must not overlap it. Digits on which all
// values agree cost nothing beyond the one counting pass.
void radix_sort(double* values, std::size_t n, double* out) noexcept;

}  // namespace velmora::engine

#include "engine/radix_sort.hpp"

#include <algorithm>
#include <cassert>
#include <new>
#include <utility>

#include "engine/portable.hpp"
#include "engine/tuning.hpp"

namespace velmora::engine {
namespace {

// Keys live in the double buffers they replace; memcpy keeps that legal.
using Key = std::uint64_t;

inline Key load(const double* p) noexcept {
    Key k;
    std::memcpy(&k, p, sizeof k);
    return k;
}

inline void store(double* p, Key k) noexcept { std::memcpy(p, &k, sizeof k); }

constexpr int kDigits = 8;                                  // the digit sort: 8-bit digits
constexpr std::size_t kDigitRadix = 256;
constexpr std::size_t kSpreadSlots = tuning::kSpreadMax / 2;  // the spread: at most n / 2 slots
constexpr int kSplitBits = 11;                              // the split: 11 bits per level
constexpr std::size_t kSplitRadix = std::size_t{1} << kSplitBits;
// Each split level consumes kSplitBits of the 64-bit keys.
constexpr int kSplitDepth = (64 + kSplitBits - 1) / kSplitBits;
static_assert(kSplitDepth * kSplitBits >= 64, "every split level has its table");

// The counting tables of one thread's radix sorts: one per level that can be
// active at once (the splits nest, the spreads below them, the digit sort
// last). 152 KiB in all, off the stack: a team thread's stack is what
// OMP_STACKSIZE asks for, down to 16 KiB. Pages never touched cost no memory.
struct CountingTables {
    std::uint32_t digits[kDigits][kDigitRadix];
    std::uint32_t spread[tuning::kSpreadDepth + 1][kSpreadSlots + 1];
    std::size_t split[kSplitDepth][kSplitRadix + 1];
};

// This thread's tables, made on its first radix sort and kept until it ends
// (team threads live on in the OpenMP runtime's pool); null when they could
// not be made. No radix sort ever runs inside another on the same thread.
// A mapping of their own, not the allocator's: a block that lives this long
// amid the sort's large, short-lived buffers would change where those go and
// cost page faults on every call (4000 more, a fifth more time, at 10^6).
class ThreadTables {
  public:
    CountingTables* get() noexcept {
        if (tables_ == nullptr) {
            void* const memory = portable::map_pages(sizeof(CountingTables));
            if (memory != nullptr) tables_ = new (memory) CountingTables;
        }
        return tables_;
    }
    ~ThreadTables() {
        if (tables_ != nullptr) portable::unmap_pages(tables_, sizeof(CountingTables));
    }

  private:
    CountingTables* tables_ = nullptr;
};

CountingTables* thread_tables() noexcept {
    thread_local ThreadTables tables;
    return tables.get();
}

// Keys of data[0, n) ascending by insertion: for the tiny buckets that a
// counting pass would cost more than it saves on.
void insertion_sort_keys(double* data, std::size_t n) noexcept {
    for (std::size_t i = 1; i < n; ++i) {
        const Key key = load(data + i);
        std::size_t j = i;
        for (; j > 0 && load(data + j - 1) > key; --j) store(data + j, load(data + j - 1));
        store(data + j, key);
    }
}

// Least-significant-digit sort of the keys in a[0, n) with scratch b[0, n),
// in 8-bit digits; returns the buffer that holds the sorted keys. Digits on
// which every key agrees are skipped after the one counting pass. Meant for
// groups that fit in cache (n < 2^32).
double* lsd_sort_keys(CountingTables& tables, double* a, double* b, std::size_t n) noexcept {
    constexpr std::size_t kRadix = kDigitRadix;
    auto& counts = tables.digits;
    std::fill(&counts[0][0], &counts[0][0] + kDigits * kRadix, 0);
    for (std::size_t i = 0; i < n; ++i) {
        const Key key = load(a + i);
        for (int d = 0; d < kDigits; ++d) ++counts[d][(key >> (8 * d)) & (kRadix - 1)];
    }
    const Key first = load(a);
    for (int d = 0; d < kDigits; ++d) {
        std::uint32_t* count = counts[d];
        if (count[(first >> (8 * d)) & (kRadix - 1)] == n) continue;
        std::uint32_t sum = 0;
        for (std::size_t r = 0; r < kRadix; ++r) {
            const std::uint32_t c = count[r];
            count[r] = sum;
            sum += c;
        }
        for (std::size_t i = 0; i < n; ++i) {
            const Key key = load(a + i);
            store(b + count[(key >> (8 * d)) & (kRadix - 1)]++, key);
        }
        std::swap(a, b);
    }
    return a;
}

double* sort_keys(CountingTables& tables, double* data, double* scratch, std::size_t n, Key low, Key high,
                  int level) noexcept;

inline void key_range(const double* data, std::size_t n, Key& low, Key& high) noexcept {
    low = ~Key{0};
    high = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const Key key = load(data + i);
        low = std::min(low, key);
        high = std::max(high, key);
    }
}

// Moves the keys of data[0, n) into scratch by slot, given each slot's count
// in starts[slot + 1] (starts[0] == 0). starts[r + 1] becomes slot r's first
// place and, as the slot fills, moves on to its end: afterwards slot r is
// [starts[r], starts[r + 1]), with no second table per level.
template <typename Count, typename Slot>
void place_by_slot(const double* data, double* scratch, std::size_t n, Count* starts, std::size_t slots,
                   Slot slot) noexcept {
    Count sum = 0;
    for (std::size_t r = 1; r <= slots; ++r) sum += std::exchange(starts[r], sum);
    for (std::size_t i = 0; i < n; ++i) {
        const Key key = load(data + i);
        store(scratch + starts[slot(key) + 1]++, key);
    }
}

// Distribution by interpolation for a group that fits in the first-level
// cache: the keys of data[0, n), all within [low, high], go to about n / 2
// slots by a monotone scale, so the slots are in order; each slot is then
// finished by insertion or, where the data crowds it, by the digit sort.
// Smooth data leaves about two keys per slot: three passes in all. The scale
// is linear in the values, which suits a bucket cut from an even spread;
// where that crowds a slot with an eighth of the group (heavy tails), it is
// linear in the keys, which grow like the logarithm of the values. A crowded
// slot (far-apart clusters, an outlier stretching the scale) is spread again
// by its own range, up to kSpreadDepth levels, before the digit sort, whose
// counting tables cost more than a small slot's moves.
// Returns the buffer holding the sorted keys.
double* spread_sort_keys(CountingTables& tables, double* data, double* scratch, std::size_t n, Key low,
                         Key high, int depth = 0) noexcept {
    if (low == high) return data;
    const std::size_t slots = std::max<std::size_t>(2, std::min(kSpreadSlots, n / 2));
    std::uint32_t* const starts = tables.spread[depth];
    const auto count = [&](auto slot) {
        std::fill(starts, starts + slots + 1, 0);
        for (std::size_t i = 0; i < n; ++i) ++starts[slot(load(data + i)) + 1];
        return *std::max_element(starts + 1, starts + slots + 1);
    };
    const auto distribute = [&](auto slot) { place_by_slot(data, scratch, n, starts, slots, slot); };
    const double base = from_order_key(low);
    const double value_scale = static_cast<double>(slots - 1) / (from_order_key(high) - base);
    const auto by_value = [base, value_scale, slots](Key key) {
        return std::min(static_cast<std::size_t>((from_order_key(key) - base) * value_scale), slots - 1);
    };
    const double key_scale = static_cast<double>(slots - 1) / static_cast<double>(high - low);
    const auto by_key = [low, key_scale, slots](Key key) {
        return std::min(static_cast<std::size_t>(static_cast<double>(key - low) * key_scale), slots - 1);
    };
    // The value scale is finite and positive unless infinities bound the group.
    if (value_scale > 0.0 && value_scale < 1e300 && count(by_value) <= n / 8) {
        distribute(by_value);
    } else {
        count(by_key);
        distribute(by_key);
    }
    for (std::size_t r = 0; r < slots; ++r) {
        const std::size_t size = starts[r + 1] - starts[r];
        double* part = scratch + starts[r];
        if (size <= tuning::kRadixInsertionMax) {
            insertion_sort_keys(part, size);
            continue;
        }
        const double* sorted;
        if (depth < tuning::kSpreadDepth) {
            Key part_low, part_high;
            key_range(part, size, part_low, part_high);
            sorted = spread_sort_keys(tables, part, data + starts[r], size, part_low, part_high, depth + 1);
        } else {
            sorted = lsd_sort_keys(tables, part, data + starts[r], size);
        }
        if (sorted != part) std::memcpy(part, sorted, size * sizeof(double));
    }
    return scratch;
}

// Sorts one bucket of keys, data[0, n) with scratch[0, n), by the cheapest
// method for its size: insertion, the spread (three passes on smooth data,
// where the digit sort makes one counting pass and a pass per varying digit),
// the digit sort, or another split. Returns the buffer holding the sorted keys.
double* sort_bucket_keys(CountingTables& tables, double* data, double* scratch, std::size_t n,
                         int level) noexcept {
    if (n <= tuning::kRadixInsertionMax) {
        insertion_sort_keys(data, n);
        return data;
    }
    // The digit sort needs no range: spare it the pass.
    if (n > tuning::kSpreadMax && n <= tuning::kRadixInCacheMax) return lsd_sort_keys(tables, data, scratch, n);
    Key low, high;
    key_range(data, n, low, high);
    return n <= tuning::kSpreadMax ? spread_sort_keys(tables, data, scratch, n, low, high)
                                   : sort_keys(tables, data, scratch, n, low, high, level);
}

// Most-significant-digit step for a group too large for the cache: the keys
// of data[0, n), all within [low, high], are distributed by the 11 highest
// bits in which low and high differ (the bits above are common to all), and
// every bucket is sorted in turn. Each level consumes at least 11 bits, so
// at most kSplitDepth levels nest (`level` counts them from 0) and the work
// stays linear. Returns the buffer that holds the sorted keys.
double* sort_keys(CountingTables& tables, double* data, double* scratch, std::size_t n, Key low, Key high,
                  int level) noexcept {
    if (low == high) return data;
    constexpr std::size_t kRadix = kSplitRadix;
    const int top = 63 - portable::leading_zeros(low ^ high);
    const int shift = std::max(top - (kSplitBits - 1), 0);
    const auto bucket = [shift](Key key) { return static_cast<std::size_t>(key >> shift) & (kRadix - 1); };

    assert(level < kSplitDepth);
    std::size_t* const starts = tables.split[level];
    std::fill(starts, starts + kRadix + 1, 0);
    for (std::size_t i = 0; i < n; ++i) ++starts[bucket(load(data + i)) + 1];
    place_by_slot(data, scratch, n, starts, kRadix, bucket);
    for (std::size_t r = 0; r < kRadix; ++r) {
        const std::size_t size = starts[r + 1] - starts[r];
        if (size < 2) continue;
        double* part = scratch + starts[r];
        const double* sorted = sort_bucket_keys(tables, part, data + starts[r], size, level + 1);
        if (sorted != part) std::memcpy(part, sorted, size * sizeof(double));
    }
    return scratch;
}

}  // namespace

void radix_sort(double* values, std::size_t n, double* out) noexcept {
    if (n < 2) {
        if (n == 1) out[0] = values[0];
        return;
    }
    CountingTables* const tables = thread_tables();
    if (tables == nullptr) {
        // No memory for the tables: the same order by comparisons.
        std::sort(values, values + n, [](double a, double b) { return order_key(a) < order_key(b); });
        std::copy(values, values + n, out);
        return;
    }
    // One pass turns the values into keys, in place, and finds their range.
    Key low = ~Key{0}, high = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const Key key = order_key(values[i]);
        store(values + i, key);
        low = std::min(low, key);
        high = std::max(high, key);
    }
    const double* sorted = n <= tuning::kSpreadMax          ? spread_sort_keys(*tables, values, out, n, low, high)
                           : n <= tuning::kRadixInCacheMax ? lsd_sort_keys(*tables, values, out, n)
                                                           : sort_keys(*tables, values, out, n, low, high, 0);
    for (std::size_t i = 0; i < n; ++i) out[i] = from_order_key(load(sorted + i));
}

}  // namespace velmora::engine

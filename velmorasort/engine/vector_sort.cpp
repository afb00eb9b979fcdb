#include "engine/vector_sort.hpp"

#ifdef VELMORASORT_HAVE_HWY
#include <hwy/contrib/sort/vqsort.h>
#include <hwy/highway.h>
#include <hwy/targets.h>

#include <cstdint>
#include <cstring>

#include "engine/radix_sort.hpp"
#endif

namespace velmora::engine {

#ifdef VELMORASORT_HAVE_HWY

#define VELMORASORT_STR2(x) #x
#define VELMORASORT_STR(x) VELMORASORT_STR2(x)

bool vector_sort_built() noexcept { return true; }

void vector_sort_keys(std::uint64_t* keys, std::size_t n) noexcept {
#if HWY_MAJOR > 1 || (HWY_MAJOR == 1 && HWY_MINOR >= 1)
    hwy::VQSort(keys, n, hwy::SortAscending());
#else
    // Releases before 1.1 sort through a Sorter, whose buffer one thread may
    // use at a time: one per thread, made on the thread's first sort.
    static thread_local const hwy::Sorter sorter;
    sorter(keys, n, hwy::SortAscending());
#endif
}

void vector_sort(const double* values, std::size_t n, double* out) noexcept {
    // The integer images of the values are sorted, not the doubles: vqsort's
    // floating-point kernels of 1.0.3 misorder values next to a run of zeros
    // and return +inf as the largest finite double. Integer keys compare
    // exactly on every release; the two conversions ride on the copy and
    // cost about a nanosecond a value. The keys take the place of the
    // doubles in `out`: this file moves them in and out with memcpy, as the
    // radix kernel does, never through a pointer of the other type (which
    // the compiler may assume points elsewhere); the library reaches them
    // through its vector types, which may alias anything.
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t key = order_key(values[i]);
        std::memcpy(out + i, &key, sizeof key);
    }
    vector_sort_keys(reinterpret_cast<std::uint64_t*>(out), n);
    for (std::size_t i = 0; i < n; ++i) {
        std::uint64_t key;
        std::memcpy(&key, out + i, sizeof key);
        out[i] = from_order_key(key);
    }
}

namespace {

// The best target the dispatch may pick: the lowest set bit.
std::int64_t best_target() noexcept {
    const std::int64_t targets = hwy::SupportedTargets() & HWY_TARGETS;
    return targets & -targets;
}

}  // namespace

const char* vector_sort_target() noexcept { return hwy::TargetName(best_target()); }

const char* vector_sort_library_version() noexcept {
    return VELMORASORT_STR(HWY_MAJOR) "." VELMORASORT_STR(HWY_MINOR);
}

bool restrict_vector_targets(const char* name) noexcept {
    if (name[0] == '\0') {
        hwy::SetSupportedTargetsForTest(0);   // 0: back to what the CPU has
        return true;
    }
    // Lower bits are newer instruction sets; keep the named one and older.
    for (int shift = 0; shift < 63; ++shift) {
        const std::int64_t bit = std::int64_t{1} << shift;
        if ((HWY_TARGETS & bit) != 0 && std::strcmp(hwy::TargetName(bit), name) == 0) {
            const std::int64_t older = ~(bit - 1);
            hwy::SetSupportedTargetsForTest(0);
            const std::int64_t kept = hwy::SupportedTargets() & older;
            if (kept == 0) return false;
            hwy::SetSupportedTargetsForTest(kept);
            return true;
        }
    }
    return false;
}

#else

bool vector_sort_built() noexcept { return false; }
void vector_sort(const double*, std::size_t, double*) noexcept {}
void vector_sort_keys(std::uint64_t*, std::size_t) noexcept {}
const char* vector_sort_target() noexcept { return ""; }
const char* vector_sort_library_version() noexcept { return ""; }
bool restrict_vector_targets(const char*) noexcept { return false; }

#endif

}  // namespace velmora::engine

#include "boundary/team_reading.hpp"

#include <omp.h>

#include <algorithm>
#include <atomic>

#include "engine/parallel_region.hpp"
#include "engine/team_host.hpp"
#include "engine/portable.hpp"
#include "engine/team_limits.hpp"

namespace velmora {
namespace {

// Elements a thread claims at a time: large enough that claiming costs
// nothing, small enough that a thread on a busy core holds up little.
constexpr std::size_t kReadSlice = 16384;
constexpr std::size_t kPrefetchDistance = 32;

// Reads slice `s`; returns the index of its first element that is not an
// exact float, or the slice's end.
std::size_t read_slice(PyObject* const* items, std::size_t count, std::size_t s, double* out) noexcept {
    const std::size_t begin = s * kReadSlice, end = std::min(count, begin + kReadSlice);
    for (std::size_t i = begin; i < end; ++i) {
        // Elements of a big list are scattered over the heap: fetch ahead.
        if (i + kPrefetchDistance < end) portable::prefetch(items[i + kPrefetchDistance]);
        PyObject* const item = items[i];
        if (!PyFloat_CheckExact(item)) return i;
        out[i] = PyFloat_AS_DOUBLE(item);
    }
    return end;
}

// cpu_count's last answer, 0 before the first. One for the process, like the
// CPUs it counts.
std::atomic<int> last_cpu_count{0};

}  // namespace

void note_cpu_count(int answer) noexcept { last_cpu_count.store(answer, std::memory_order_relaxed); }

int reading_team(int requested, std::size_t count) noexcept {
    // Never more threads than cpu_count allows where the call leaves the
    // team to it: a caller that limits it (to share the machine, or because
    // it knows better than the affinity mask) gets no extra thread.
    if (requested <= 0) requested = last_cpu_count.load(std::memory_order_relaxed);
    if (requested < 2 || count < 2 * kReadSlice) return 1;
    return engine::team_size(requested, static_cast<std::int64_t>(count / kReadSlice), count);
}

std::size_t read_exact_floats_on_team(PyObject* list, double* out, int team) noexcept {
    const std::size_t count = static_cast<std::size_t>(PyList_GET_SIZE(list));
    PyObject* const* const items = reinterpret_cast<PyListObject*>(list)->ob_item;
    const std::size_t slices = (count + kReadSlice - 1) / kReadSlice;
    std::atomic<std::size_t> next{0};
    // The first element that is not an exact float: slices past it need no
    // reading, the caller's serial walk takes over from it.
    std::atomic<std::size_t> first_other{count};
    std::size_t read = 0;
    // The calling thread keeps the interpreter lock (and the list's lock) for
    // the whole region and waits for its host: the members never ask for it.
    auto job = [&](int size) noexcept {
        // Sized again now that the values' vector is allocated: what could
        // start when the team was sized may no longer (team_limits.hpp).
        if (size < 2) return;   // the caller's walk reads them all
#pragma omp parallel num_threads(size)
        for (;;) {
            const std::size_t s = next.fetch_add(1);
            if (s >= slices || s * kReadSlice >= first_other.load(std::memory_order_relaxed)) break;
            const std::size_t stop = read_slice(items, count, s, out);
            if (stop < std::min(count, (s + 1) * kReadSlice)) {
                std::size_t seen = first_other.load();
                while (stop < seen && !first_other.compare_exchange_weak(seen, stop)) {
                }
            }
        }
        read = first_other.load();
    };
    engine::run_team(engine::TeamKind::reading, team, job);
    return read;
}

}  // namespace velmora

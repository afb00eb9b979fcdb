#include "engine/parallel_region.hpp"

#include <omp.h>

#include <algorithm>
#include <atomic>
#include <limits>
#include <optional>
#include <vector>

#include "boundary/region_interpreter.hpp"
#include "engine/fault_injection.hpp"
#include "engine/group_sort.hpp"
#include "engine/interpolation_sort.hpp"
#include "engine/portable.hpp"
#include "engine/rendezvous.hpp"
#include "engine/team_limits.hpp"
#include "engine/team_host.hpp"
#include "engine/team_partition.hpp"
#include "engine/team_sort.hpp"
#include "engine/tuning.hpp"

namespace velmora::engine {
namespace {

#if (defined(_OPENMP) && _OPENMP < 200805) || defined(VELMORA_MSVC)
// OpenMP 2.0, all that MSVC's omp.h declares, has no thread limit to ask for.
int omp_get_thread_limit() noexcept { return std::numeric_limits<int>::max(); }
#endif

// kValuesPerThread; test builds lower it to run real teams on short lists.
std::atomic<std::size_t> values_per_thread{tuning::kValuesPerThread};
std::atomic<bool> whole_lists{true};
std::atomic<int> one_piece_max{tuning::kOnePieceTeamMax};
// Tests may lift the cap of a team at the usable CPUs: correctness needs no free core.
std::atomic<bool> cpu_cap_lifted{false};

constexpr int kStopped = 4;   // stop-flag value of a recorded worker error
constexpr int kStopAt = 2;    // iterations do nothing from this value on

// State shared by the team; lives on the calling thread's stack for one call.
struct Region {
    explicit Region(BucketPass& p) : pass(p), bucket_count(p.bucket_count()) {}

    BucketPass& pass;
    std::int64_t bucket_count;
    std::atomic<int> stop{0};
    interpreter::WorkerError error;   // the first worker's exception
    // Buckets too large for one thread: the whole team sorts them after the
    // loop. shared_flags[i] marks them for the loop to skip.
    std::vector<std::int64_t> shared;
    std::vector<unsigned char> shared_flags;
    // Where the team meets before each of the runtime's barriers.
    Rendezvous attached, looped, detached;
};

// Picks the buckets that would keep one thread busy while the others idle:
// larger than a fair share of the team's work and than kTeamSortMinimum, and
// with a unique ascending order, so that sorting them by other means gives
// the insertion sorter's result. Best effort: without memory, none are shared.
void choose_shared_buckets(Region& r, int team) noexcept {
    if (team < 2) return;
    const std::size_t fair_share = r.pass.finite_count() / static_cast<std::size_t>(team);
    try {
        for (std::int64_t i = 0; i < r.bucket_count; ++i) {
            const std::size_t size = r.pass.bucket_size(i);
            if (size < tuning::kTeamSortMinimum || size <= fair_share) continue;
            if (!fast_method_allowed(r.pass.bucket_values(i), size)) continue;
            if (r.shared_flags.empty()) r.shared_flags.assign(static_cast<std::size_t>(r.bucket_count), 0);
            r.shared_flags[static_cast<std::size_t>(i)] = 1;
            r.shared.push_back(i);
        }
    } catch (...) {
        r.shared.clear();
        r.shared_flags.clear();
    }
}

// One index of the worksharing loop. Error path: a failed sort left a Python
// exception on this thread's state; the first one moves to the shared slots.
void handle_bucket(Region& r, std::int64_t i) {
    if (r.stop.load(std::memory_order_relaxed) >= kStopAt) return;
    if (!r.shared_flags.empty() && r.shared_flags[static_cast<std::size_t>(i)]) return;
    if (r.pass.bucket_size(i) != 0 && !r.pass.sort_bucket(i)) {
        r.stop.store(kStopped);
        r.error.record_from_this_thread();
    }
    std::atomic_thread_fence(std::memory_order_seq_cst);
}

// What every thread of the team does, the calling thread included.
void thread_part(Region& r, bool in_team) {
    // Attach; the sorter takes the lock again only on its failure path.
    const interpreter::Attachment attachment = interpreter::attach();
    if (in_team) {
        const int team = omp_get_num_threads();   // the runtime may give fewer than asked
        r.attached.arrive_and_wait(team);
#pragma omp barrier
#if _OPENMP >= 201511 && !defined(VELMORA_MSVC)   // the modifier came with OpenMP 4.5
#pragma omp for schedule(nonmonotonic : dynamic, 1) nowait
#else
#pragma omp for schedule(dynamic, 1) nowait
#endif
        for (std::int64_t i = 0; i < r.bucket_count; ++i) handle_bucket(r, i);
        r.looped.arrive_and_wait(team);
        // The loop's barrier: every index is done before anyone goes on, so
        // every thread reads the same stop flag here.
#pragma omp barrier
        if (r.stop.load() < kStopAt) {
            for (const std::int64_t i : r.shared) {
                team_sort(r.pass.bucket_values(i), r.pass.bucket_size(i), r.pass.bucket_result(i));
            }
        }
        interpreter::detach(attachment);
        // The region's closing barrier follows.
        r.detached.arrive_and_wait(team);
    } else {
        for (std::int64_t i = 0; i < r.bucket_count; ++i) handle_bucket(r, i);
        interpreter::detach(attachment);
    }
}

}  // namespace

int team_size(int requested, std::int64_t bucket_count, std::size_t values) noexcept {
    std::int64_t team = std::max(requested, 1);
    team = std::min<std::int64_t>(team, std::max<std::int64_t>(bucket_count, 1));
    // Each thread must have enough work to pay for waking it and for the
    // waits at the team's meeting points, which cost milliseconds whenever
    // other processes keep the cores busy.
    team = std::min<std::int64_t>(team, std::max<std::size_t>(values / values_per_thread.load(), 1));
    const int cpus = cpu_cap_lifted.load(std::memory_order_relaxed) ? omp_get_thread_limit() : usable_cpus();
    team = std::min<std::int64_t>(team, std::min(cpus, omp_get_thread_limit()));
    return static_cast<int>(team);
}

bool sort_buckets_in_parallel(BucketPass& pass, int team) noexcept {
    Region r(pass);
    // Releases the interpreter lock for the whole region: every member's
    // attach takes it, so holding it here would deadlock the team.
    const interpreter::HeldAside caller = interpreter::release_lock();
    auto job = [&r](int size) noexcept {
        // Sized on the host now that the pass holds its memory: what could
        // start when the team was sized may no longer (an address-space limit
        // that the scratch has used up), and the runtime ends the process
        // when it cannot start a thread it was asked for. Nothing is
        // allocated from the sizing to the region's start but the choice of
        // shared buckets, which does without when memory is short.
        choose_shared_buckets(r, size);
        if (size > 1) {
#pragma omp parallel num_threads(size)
            thread_part(r, true);
        } else {
            // A team of one: the same protocol without starting the runtime.
            thread_part(r, false);
        }
    };
    run_team(TeamKind::buckets, team, job);
    // Takes the lock back for good.
    interpreter::take_lock_back(caller);
    if (r.stop.load() < kStopAt) return true;
    r.error.raise_on_this_thread();
    return false;
}

double* sort_whole_list_on_team(double* values, std::size_t n, std::size_t nans, double* out, int team) {
    if (team <= one_piece_max.load(std::memory_order_relaxed)) team = 1;
    std::optional<TeamPartition> partition;
    if (team > 1) {
        fault::site();
        partition.emplace(team);
    }
    // Released for the sort: no step below calls the interpreter.
    const interpreter::HeldAside caller = interpreter::release_lock();
    const std::size_t m = set_nans_aside(values, n, nans, out);
    double* sorted = out;
    // Sized on the host now that the scratch is allocated, as for the
    // bucket region.
    auto job = [&](int size) noexcept {
        if (size > 1) {
#pragma omp parallel num_threads(size)
            {
                double* const at = partition->sort(values, m, out);
#pragma omp single nowait
                sorted = at;
            }
            // The NaNs follow the sorted values in the same buffer.
            if (sorted == values) std::copy(out + m, out + n, values + m);
        } else {
            sort_unique(values, m, out);
        }
    };
    run_team(TeamKind::split, team, job);
    // Takes the lock back for good.
    interpreter::take_lock_back(caller);
    return sorted;
}

bool whole_list_teams() noexcept { return whole_lists.load(std::memory_order_relaxed); }

void set_whole_list_teams(bool on) noexcept {
    whole_lists.store(on);
    one_piece_max.store(1);
}

void set_values_per_thread(std::size_t values) noexcept {
    values_per_thread.store(values == 0 ? tuning::kValuesPerThread : values);
    whole_lists.store(values == 0);
    one_piece_max.store(tuning::kOnePieceTeamMax);
}

void set_test_teams(std::size_t values, bool lift_cpu_cap) noexcept {
    values_per_thread.store(values == 0 ? tuning::kValuesPerThread : values);
    cpu_cap_lifted.store(lift_cpu_cap);
}

}  // namespace velmora::engine

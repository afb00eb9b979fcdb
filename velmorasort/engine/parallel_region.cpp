#include "engine/parallel_region.hpp"

#include <Python.h>
#include <omp.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <vector>

#include "boundary/lock_taking.hpp"
#include "boundary/refs.hpp"
#include "engine/failure_report.hpp"
#include "engine/group_sort.hpp"
#include "engine/interpolation_sort.hpp"
#include "engine/team_sort.hpp"
#include "engine/tuning.hpp"

namespace velmora::engine {
namespace {

// Set once a region has started in this process; a forked child inherits it.
std::atomic<bool> region_used{false};
// Set in a child forked after a region: GCC's OpenMP pool threads do not exist
// there, and starting a team would wait for them forever.
std::atomic<bool> forked_after_region{false};

void on_fork_child() {
    if (region_used.load()) forked_after_region.store(true);
}

constexpr int kStopped = 4;   // stop-flag value of a recorded worker error
constexpr int kStopAt = 2;    // iterations do nothing from this value on

// State shared by the team; lives on the calling thread's stack for one call.
struct Region {
    explicit Region(BucketPass& p) : pass(p), bucket_count(p.bucket_count()) {}

    BucketPass& pass;
    std::int64_t bucket_count;
    std::atomic<int> stop{0};
    std::atomic<bool> error_claimed{false};   // set by the one worker that fills the error slots
    PendingError error;         // the first worker's exception, moved out of its thread state
    int error_line = 0;
    std::int64_t failed_bucket = -1;   // informational only
    // Buckets too large for one thread: the whole team sorts them after the
    // loop. shared_flags[i] marks them for the loop to skip.
    std::vector<std::int64_t> shared;
    std::vector<unsigned char> shared_flags;
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

// Error path of a thread whose sort left a Python exception pending on its
// own thread state. The first thread here moves it into the shared slots;
// later ones leave theirs, discarded when their thread state goes.
void record_worker_error(Region& r, std::int64_t i, int line) {
    r.stop.store(kStopped);
    if (interpreter_finalizing()) return;
    // Takes the interpreter lock (on free-threaded builds: attaches) to move
    // the exception. The claim, not the lock, keeps a second worker out of
    // the slots, since a free-threaded build's lock excludes no one.
    PyGILState_STATE gil = ensure_lock_or_park();
    if (!r.error_claimed.exchange(true)) {
        r.error = PendingError::fetch();
        r.error_line = line;
    }
    // Gives the lock back before anything that could wait on another thread.
    PyGILState_Release(gil);
#pragma omp critical(velmorasort_worker_error)
    {
        if (r.failed_bucket < 0) r.failed_bucket = i;
    }
}

// One index of the worksharing loop.
void handle_bucket(Region& r, std::int64_t i) {
    if (r.stop.load(std::memory_order_relaxed) >= kStopAt) return;
    if (!r.shared_flags.empty() && r.shared_flags[static_cast<std::size_t>(i)]) return;
    if (r.pass.bucket_size(i) != 0 && !r.pass.sort_bucket(i)) {
        record_worker_error(r, i, __LINE__);
    }
    std::atomic_thread_fence(std::memory_order_seq_cst);
}

// What every thread of the team does, the calling thread included.
void thread_part(Region& r, bool in_team) {
    // Attach: gives a runtime thread an interpreter thread state (the calling
    // thread gets its own back), then lets the lock go at once. The sorter
    // takes it again only on its failure path. Skipped while the interpreter
    // shuts down (a daemon thread's call): the sorting needs no lock.
    const bool attach = !interpreter_finalizing();
    PyGILState_STATE gil{};
    PyThreadState* saved = nullptr;
    if (attach) {
        gil = ensure_lock_or_park();
        saved = PyEval_SaveThread();
    }
    if (in_team) {
#pragma omp barrier
#pragma omp for schedule(nonmonotonic : dynamic, 1)
        for (std::int64_t i = 0; i < r.bucket_count; ++i) handle_bucket(r, i);
        // The loop's implicit barrier: every index is done before anyone goes
        // on, so every thread reads the same stop flag here.
        if (r.stop.load() < kStopAt) {
            for (const std::int64_t i : r.shared) {
                team_sort(r.pass.bucket_values(i), r.pass.bucket_size(i), r.pass.bucket_result(i));
            }
        }
    } else {
        for (std::int64_t i = 0; i < r.bucket_count; ++i) handle_bucket(r, i);
    }
    // Detach: takes the lock, then releases it with the token of the attach;
    // a runtime thread's thread state (and any exception left on it) goes.
    if (attach) {
        restore_thread_or_park(saved);
        PyGILState_Release(gil);
    }
}

}  // namespace

int team_size(int requested, std::int64_t bucket_count) noexcept {
    if (forked_after_region.load()) return 1;
    std::int64_t team = std::max(requested, 1);
    team = std::min<std::int64_t>(team, std::max<std::int64_t>(bucket_count, 1));
    const int ceiling = std::max(tuning::kTeamCeilingMinimum,
                                 tuning::kTeamCeilingPerProcessor * omp_get_num_procs());
    team = std::min<std::int64_t>(team, std::min(ceiling, omp_get_thread_limit()));
    return static_cast<int>(team);
}

bool sort_buckets_in_parallel(BucketPass& pass, int team, int& error_line) noexcept {
    Region r(pass);
    choose_shared_buckets(r, team);
    // Releases the interpreter lock for the whole region: every member's
    // attach takes it, so holding it here would deadlock the team.
    PyThreadState* caller = PyEval_SaveThread();
    if (team > 1) {
        region_used.store(true);
#pragma omp parallel num_threads(team)
        thread_part(r, true);
    } else {
        // A team of one: the same protocol on the calling thread, without
        // starting the runtime (safe in a forked child).
        thread_part(r, false);
    }
    // Takes the lock back for good.
    restore_thread_or_park(caller);
    if (r.stop.load() < kStopAt) return true;
    if (r.error.empty()) {
        // A worker failed while the interpreter was shutting down.
        PyErr_SetString(PyExc_RuntimeError, "interpreter shut down during the sort");
        error_line = __LINE__;
        return false;
    }
    // The first worker's exception becomes the caller's; one the calling
    // thread may have left pending itself is replaced and released.
    r.error.restore();
    error_line = r.error_line;
    return false;
}

void install_fork_guard() noexcept {
    static std::atomic<bool> installed{false};
    if (!installed.exchange(true)) pthread_atfork(nullptr, nullptr, on_fork_child);
}

}  // namespace velmora::engine

#include "engine/parallel_region.hpp"

#include <omp.h>

#include <algorithm>
#include <atomic>
#include <limits>
#include <optional>

#include "engine/fault_injection.hpp"
#include "engine/group_sort.hpp"
#include "engine/team_limits.hpp"
#include "engine/team_host.hpp"
#include "engine/team_partition.hpp"
#include "engine/tuning.hpp"

namespace velmora::engine {
namespace {

#if (defined(_OPENMP) && _OPENMP < 200805) || defined(VELMORA_MSVC)
// OpenMP 2.0, all that MSVC's omp.h declares, has no thread limit to ask for.
int omp_get_thread_limit() noexcept { return std::numeric_limits<int>::max(); }
#endif

// kValuesPerThread; tests lower it to run real teams on short lists.
std::atomic<std::size_t> values_per_thread{tuning::kValuesPerThread};
// Tests may lift the cap of a team at the usable CPUs: correctness needs no free core.
std::atomic<bool> cpu_cap_lifted{false};

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

double* sort_whole_list_on_team(double* values, std::size_t n, std::size_t nans, double* out, int team,
                                WithoutLock without_lock) {
    if (team <= tuning::kOnePieceTeamMax) team = 1;
    std::optional<TeamPartition> partition;
    if (team > 1) {
        fault::site();
        partition.emplace(team);
    }
    double* sorted = out;
    auto sort = [&]() noexcept {
        const std::size_t m = set_nans_aside(values, n, nans, out);
        // Sized on the host now that the scratch is allocated: what could
        // start when the team was sized may no longer (an address-space limit
        // that the scratch has used up), and the runtime ends the process
        // when it cannot start a thread it was asked for.
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
    };
    if (without_lock != nullptr) {
        without_lock([](void* context) { (*static_cast<decltype(sort)*>(context))(); }, &sort);
    } else {
        sort();
    }
    return sorted;
}

void set_test_teams(std::size_t values, bool lift_cpu_cap) noexcept {
    values_per_thread.store(values == 0 ? tuning::kValuesPerThread : values);
    cpu_cap_lifted.store(lift_cpu_cap);
}

}  // namespace velmora::engine

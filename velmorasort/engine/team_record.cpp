#include "engine/team_record.hpp"

#include <atomic>

#include "engine/parallel_region.hpp"

namespace velmora::engine {
namespace {

std::atomic<int> largest[kTeamKinds] = {};

}  // namespace

void record_team(TeamKind kind, int team) noexcept {
    std::atomic<int>& slot = largest[static_cast<int>(kind)];
    int seen = slot.load(std::memory_order_relaxed);
    while (seen < team && !slot.compare_exchange_weak(seen, team, std::memory_order_relaxed)) {
    }
}

int take_largest_team(int kind) noexcept { return largest[kind].exchange(0, std::memory_order_relaxed); }

}  // namespace velmora::engine

extern "C" {

void velmorasort_set_test_teams(std::uint64_t values_per_thread, std::int32_t lift_cpu_cap) {
    velmora::engine::set_test_teams(static_cast<std::size_t>(values_per_thread), lift_cpu_cap != 0);
}

void velmorasort_take_team_record(std::int32_t* sizes, std::int32_t count) {
    for (int kind = 0; kind < velmora::engine::kTeamKinds; ++kind) {
        const int size = velmora::engine::take_largest_team(kind);
        if (kind < count) sizes[kind] = size;
    }
}

}

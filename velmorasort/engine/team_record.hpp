// What the teams of this process did, kept in every build so that the suite
// checks the teams it means to run on the shipped module too: per kind of
// region, the largest team started since the record was last taken. Tests
// reach it, and the switch that lets short lists run on real teams, through
// the two C functions below (velmorasort._kernel looks them up).
#pragma once

#include <cstdint>

#include "engine/portable.hpp"

namespace velmora::engine {

enum class TeamKind : int { split, reading, floats };
constexpr int kTeamKinds = 3;

// Called by the thread that started a region of `team` threads, after it ran.
void record_team(TeamKind kind, int team) noexcept;

// The largest team of kind `kind` (a TeamKind's value) since the last take.
int take_largest_team(int kind) noexcept;

}  // namespace velmora::engine

extern "C" {
// The test switch: a team gets a thread per `values_per_thread` values (0:
// the default) and, where `lift_cpu_cap` is non-zero, may have more threads
// than the CPUs the process may use, so that teams of three and four run on
// short lists on any machine. Results never depend on it.
VELMORA_EXPORT void velmorasort_set_test_teams(std::uint64_t values_per_thread, std::int32_t lift_cpu_cap);
// Writes the largest team each kind started since the last call (0: none) to
// sizes[0, count), in TeamKind's order, and clears the record.
VELMORA_EXPORT void velmorasort_take_team_record(std::int32_t* sizes, std::int32_t count);
}

// Where supersort's OpenMP teams start.
//
// GCC's OpenMP runtime keeps the threads of a team in a pool that belongs to
// the thread that started the team. A process forked after any team ran (ours
// or another library's in the same runtime) inherits the forking thread's
// pool, whose threads do not exist in the child: the next team that thread
// starts waits for them forever. A thread made after the fork has no pool yet
// and gets a new one. So no team starts on a caller's own thread: each calling
// thread hands its teams to a host thread of its own, made in the current
// process (again after a fork), which starts them and keeps their pool from
// one call to the next, as the caller's own pool was kept before.
#pragma once

#include "engine/team_record.hpp"

namespace velmora::engine {

// A team's work, run on the host thread with the size of the team it is to
// start: a region of exactly `team` threads when `team` is 2 or more; when it
// is 1, the work done on the current thread without starting the runtime.
using TeamJob = void (*)(void* context, int team);

// Runs `job(context, size)`, a region of kind `kind`, on the calling thread's
// team host and returns when it has returned; a region that started (size 2
// or more) goes into the team record. `size` is what of `team` threads the runtime can start for
// the host now (startable_team, asked on the host, whose pool it is); 1 where
// no host thread could be made, since the calling thread's own pool may be a
// dead one. The calling thread only waits meanwhile and keeps whatever
// interpreter lock it holds. Windows never forks: there the calling thread
// starts its teams itself. Never throws.
void run_team(TeamKind kind, int team, TeamJob job, void* context) noexcept;

// run_team in two halves, for a caller with work of its own meanwhile:
// start_team hands the job to the host and returns at once, true; or, where
// it runs the job on the calling thread instead (no host, a team of one
// unless `alone_too`, Windows), returns when the job has returned, false.
// After true, the calling thread must call wait_for_team() before it starts
// another team.
bool start_team(TeamKind kind, int team, TeamJob job, void* context, bool alone_too = false) noexcept;
void wait_for_team() noexcept;

// The same for any callable `job(int size)`, which must not throw.
template <typename Job>
void run_team(TeamKind kind, int team, Job& job) noexcept {
    run_team(kind, team, [](void* context, int size) { (*static_cast<Job*>(context))(size); }, &job);
}

}  // namespace velmora::engine

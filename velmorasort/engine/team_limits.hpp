// How many threads a supersort team may have: what this process may run on,
// and what the system lets it start. The OpenMP runtime ends the process when
// it cannot start a thread it was asked for, so a team is sized to what can
// be started before the region asks for it.
#pragma once

#include <cstddef>

namespace velmora::engine {

// CPUs this process may run on (its affinity mask; on Linux the main
// thread's, whichever thread asks); at least one. More threads than that
// never speed up a sort that only computes.
int usable_cpus() noexcept;

// The largest team of at most `team` threads that the runtime can start for
// the calling thread now. One where the runtime's threads get less stack
// (OMP_STACKSIZE and its kin, else the system's default) than a member's
// share of a sort needs with the kernel in use: the calling thread, whose
// stack is its own, sorts alone. Otherwise threads the runtime's pool kept
// from this thread's last region are reused; any more are tried first: that
// many threads, each with the runtime's stack size, are created together and
// let go again. A limit on address space (ulimit -v) or on processes
// (ulimit -u) thus shrinks the team, down to one, which starts no thread at
// all.
int startable_team(int team) noexcept;

// Records that the calling thread ran a region with a team of `team`: the
// runtime keeps team - 1 threads for its next one.
void note_team_started(int team) noexcept;

// What a thread's first steps here take: this module's thread-local data
// and its allocator's first block. glibc ends the process when it cannot
// allocate a thread's thread-local data of a loaded module, so a thread
// made when the address space is nearly used up (a ulimit -v) checks that
// this much can be had before it touches any: the probes that size a team,
// the team host when it starts, the importing thread at start-up.
constexpr std::size_t kThreadStartHeap = std::size_t{1} << 20;

// Whether kThreadStartHeap can be had now; then makes the calling thread's
// thread-local data of this module.
bool thread_start_fits() noexcept;

// Test builds: usable_cpus reports `cpus` from now on (0 or less: the real
// count again), so that teams larger than the machine's can be tested.
void assume_usable_cpus(int cpus) noexcept;

}  // namespace velmora::engine

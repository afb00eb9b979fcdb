// The OpenMP region of supersort: sorts a whole list on a thread team while
// its caller has given up the interpreter lock.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velmora::engine {

// Runs work(context) with what the caller holds and the work does not need
// (the interpreter lock) given up, and holds it again before it returns. The
// boundary provides it: the engine never calls the interpreter.
using WithoutLock = void (*)(void (*work)(void* context), void* context);

// Size of the team actually started for `requested` threads (any int),
// `bucket_count` buckets and `values` values to sort: at least one, at most
// one per bucket, per kValuesPerThread values, per CPU this
// process may use and the runtime's thread limit. What the system lets a
// thread start is asked where the team starts, on the caller's team host
// (team_host.hpp), which may start fewer.
int team_size(int requested, std::int64_t bucket_count, std::size_t values) noexcept;

// Sorts the values[0, n) of a whole list, whose only obstacles to a unique
// order are its `nans` NaNs (they follow in input order) and the zeros'
// group (rewritten by the caller), for a team of `team` threads; `out` has
// room for n values. Teams of up to tuning::kOnePieceTeamMax threads sort it
// in one piece on the calling thread, larger ones split it and sort the
// pieces (team_partition.hpp). Returns the buffer that holds the result,
// `values` or `out`. The sort runs inside `without_lock` (where given). May
// throw std::bad_alloc before anything is sorted; the sort itself neither
// calls the interpreter nor allocates, so it cannot fail.
double* sort_whole_list_on_team(double* values, std::size_t n, std::size_t nans, double* out, int team,
                                WithoutLock without_lock);

// Every build: the values per thread of a team (0: the default) and whether
// the CPUs this process may use still cap it, for tests that run teams of any
// size on short lists (team_record.hpp).
void set_test_teams(std::size_t values, bool lift_cpu_cap) noexcept;

}  // namespace velmora::engine

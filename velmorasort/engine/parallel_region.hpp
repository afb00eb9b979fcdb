// The OpenMP region of supersort: sorts the buckets of a bucket pass on a
// thread team while the interpreter lock is released.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/bucket_pass.hpp"

namespace velmora::engine {

// Size of the team actually started for `requested` threads (any int),
// `bucket_count` buckets and `values` values to sort: at least one, at most
// one per bucket, per kValuesPerThread values, per CPU this
// process may use and the runtime's thread limit. What the system lets a
// thread start is asked where the team starts, on the caller's team host
// (team_host.hpp), which may start fewer.
int team_size(int requested, std::int64_t bucket_count, std::size_t values) noexcept;

// Sorts every non-empty bucket of `pass` on a team of `team` threads.
// Called with the interpreter lock held; releases it for the region and holds
// it again on return. Returns true on success. On failure the first worker's
// Python exception (its traceback holding the sorter's entry) is pending on
// the calling thread, or a RuntimeError when workers failed during shutdown.
bool sort_buckets_in_parallel(BucketPass& pass, int team) noexcept;

// Sorts the values[0, n) of a whole list, whose only obstacles to a unique
// order are its `nans` NaNs (they follow in input order) and the zeros'
// group (rewritten by the caller), for a team of `team` threads; `out` has
// room for n values. Teams of up to tuning::kOnePieceTeamMax threads sort it
// in one piece on the calling thread, larger ones split it and sort the
// pieces (team_partition.hpp). Returns the buffer that holds the result,
// `values` or `out`. Called with the interpreter lock held; releases it for
// the sort and holds it again on return. May throw std::bad_alloc before
// anything is sorted; the sort itself neither calls the interpreter nor
// allocates, so it cannot fail.
double* sort_whole_list_on_team(double* values, std::size_t n, std::size_t nans, double* out, int team);

// Test builds: the values per thread of a team, so that tests can run real
// teams on short lists. Any other value than 0 also sends lists with a
// unique order to bucket teams, so that those run at all on a machine with
// few CPUs; 0 restores every default.
void set_values_per_thread(std::size_t values) noexcept;

// Whether a team of two or more sorts a list with a unique order whole
// (sort_whole_list_on_team) or bucket by bucket; a team of one always sorts
// it whole. On by default. Test builds switch it; switched on, even a team
// of two splits the list rather than sorting it in one piece.
bool whole_list_teams() noexcept;
void set_whole_list_teams(bool on) noexcept;

}  // namespace velmora::engine

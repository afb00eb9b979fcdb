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
// process may use and the runtime's thread limit, no more than the system
// lets the calling thread start now (team_limits.hpp), and one in a child
// process forked after a region ran (the runtime's pool did not survive the
// fork).
int team_size(int requested, std::int64_t bucket_count, std::size_t values) noexcept;

// Sorts every non-empty bucket of `pass` on a team of `team` threads.
// Called with the interpreter lock held; releases it for the region and holds
// it again on return. Returns true on success. On failure the first worker's
// Python exception (its traceback holding the sorter's entry) is pending on
// the calling thread, or a RuntimeError when workers failed during shutdown.
bool sort_buckets_in_parallel(BucketPass& pass, int team) noexcept;

// Test builds: the values per thread of a team (0 restores the default), so
// that tests can run real teams on short lists; any other value also sends
// lists with a unique order to teams of two or more, which otherwise sort
// them in one piece (one_piece_team_max), so that such teams run at all on a
// machine with few CPUs.
void set_values_per_thread(std::size_t values) noexcept;

// The largest team that sorts a list with a unique order in one piece
// instead of bucket by bucket: tuning::kOnePieceTeamMax, or 1 in tests that
// set the values per thread.
int one_piece_team_max() noexcept;

// Records that the calling thread is about to start an OpenMP team outside
// this region (free-threaded builds make the result's floats on one), so that
// a child forked afterwards keeps to teams of one like after this region.
void note_region_used() noexcept;

// Registers the fork handler behind team_size's rule for forked children.
void install_fork_guard() noexcept;

}  // namespace velmora::engine

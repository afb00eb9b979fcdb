// The OpenMP region of supersort: sorts the buckets of a bucket pass on a
// thread team while the interpreter lock is released.
#pragma once

#include <cstdint>

#include "engine/bucket_pass.hpp"

namespace velmora::engine {

// Size of the team actually started for `requested` threads (any int) and
// `bucket_count` buckets: at least one, at most one per bucket, per CPU this
// process may use and the runtime's thread limit, no more than the system
// lets the calling thread start now (team_limits.hpp), and one in a child
// process forked after a region ran (the runtime's pool did not survive the
// fork).
int team_size(int requested, std::int64_t bucket_count) noexcept;

// Sorts every non-empty bucket of `pass` on a team of `team` threads.
// Called with the interpreter lock held; releases it for the region and holds
// it again on return. Returns true on success. On failure the first worker's
// Python exception (its traceback holding the sorter's entry) is pending on
// the calling thread, or a RuntimeError when workers failed during shutdown.
bool sort_buckets_in_parallel(BucketPass& pass, int team) noexcept;

// Registers the fork handler behind team_size's rule for forked children.
void install_fork_guard() noexcept;

}  // namespace velmora::engine

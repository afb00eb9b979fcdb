// Tuning constants of the engine, each with its reason.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velmora::tuning {

// Seed of the insertion sorter: the first nine values are sorted by std::sort
// before interpolation search takes over, which needs two values to
// interpolate between; the work guard's log2 of the values placed also needs
// at least two.
constexpr std::int64_t kSeedSize = 9;
static_assert(kSeedSize >= 2, "interpolation and the work guard's log2 need two seed values");

// sort(): lists up to this length skip the bucket pass.
constexpr std::int64_t kDirectPathMax = 4999;
// sort(): about one bucket per this many values.
constexpr std::int64_t kSortBucketDivisor = 750;

// supersort(): lists up to this length are handed to the module global sort,
// below which a team costs more than it saves. supersort has no direct path
// of its own, so every list short enough for sort's must be handed over.
constexpr std::int64_t kDelegationMax = 19999;
static_assert(kDelegationMax > kDirectPathMax, "supersort hands sort lists longer than its direct path");
// supersort(): about one bucket per this many values.
constexpr std::int64_t kSupersortBucketDivisor = 1000;
static_assert(kSortBucketDivisor > 0 && kSupersortBucketDivisor > 0, "bucket counts divide by these");

// Work guard of the insertion sorter, counted in element moves. A probe (a
// division and a poorly predicted branch) costs about as much as moving this
// many doubles with memmove inside a cache-resident bucket.
constexpr std::int64_t kProbeWeight = 32;
// Budget per value, times log2 of the values placed so far. Measured on
// random input: evenly spread lists of up to 3000 values (three times the
// larger bucket divisor) always finish in the insertion sorter and lists of
// 4000 never do; normally distributed ones finish up to about 1500. A bucket
// that turns quadratic is handed to std::sort after a few thousand values,
// having wasted little.
constexpr std::int64_t kBudgetPerValueLog = 48;
static_assert(kProbeWeight > 0 && kBudgetPerValueLog > 0, "the budget must allow some work");

// Input made of runs at least this long on average (sorted, reversed,
// sawtooth data) is merged run by run: evenly spread random values have runs
// of about two and always take the bucket pass.
constexpr std::size_t kMinAverageRun = 256;
// Input that one pass can split into an ascending sequence and at most one
// value in this many set aside (nearly sorted data) is sorted by merging the
// few, sorted, back in: the pass costs about a nanosecond a value, and random
// data gives up after reading a few times the share.
constexpr std::size_t kMaxDisplacedShare = 16;

}  // namespace velmora::tuning

namespace velmora::tuning {

// Builds with Highway: groups with a unique order of at least this many values
// go to its vqsort, which measured 4-7 ns a value from 128 values to 10^7 on
// AVX-512 (the radix sort: 13-23); below it std::sort's insertion stage wins.
constexpr std::size_t kVectorSortMinimum = 64;

// Groups with a unique order smaller than this are sorted by std::sort: the
// radix sort's counting tables cost more than they save there.
constexpr std::size_t kRadixMinimum = 32;
// The radix sort sorts groups up to this size (two buffers of 1 MiB, within a
// core's second-level cache) by 8-bit digits from the least significant one;
// larger groups are first split by their 11 highest varying bits, which on
// measured shapes beat eight passes over memory by 10-30 % from 10^6 values on.
constexpr std::size_t kRadixInCacheMax = std::size_t{1} << 17;
// Groups up to this size that are not all equal are first spread over
// n / 2 slots by a linear scale of their keys (a counting table of 16 KiB
// here), which leaves smooth data nearly sorted in three passes; the digit
// sort finishes crowded slots.
constexpr std::size_t kSpreadMax = std::size_t{1} << 13;
// A crowded slot of the spread is spread again by its own range at most this
// many times (each level keeps a table of n / 2 counts), then finished by the
// digit sort: the work stays linear.
constexpr int kSpreadDepth = 2;
// Buckets of the radix sort up to this size are finished by insertion: below
// it, clearing the counting tables costs more than the moves.
constexpr std::size_t kRadixInsertionMax = 24;

// supersort: values per thread of a team. Below it, waking a thread and the
// waits at the team's meeting points (milliseconds whenever other processes
// keep the cores busy) cost more than the thread saves: a list of fewer than
// twice this many values is sorted on the calling thread alone.
constexpr std::size_t kValuesPerThread = std::size_t{1} << 17;

// supersort: lists with a unique order (the zeros' group aside) are split by
// teams of more than this many threads; smaller teams sort them in one piece
// on the calling thread, without the lock. On the 2-CPU machine measured,
// two threads could not win back the split's two passes over the values:
// the count alone ran no faster on two threads than on one at 10^7 values
// (memory bound), and a team of two took 1.0-1.2 times one piece.
constexpr int kOnePieceTeamMax = 2;

// supersort: a list with a unique order (the zeros' group aside) is split by
// a larger team into at least this many pieces a thread, by splitters drawn from a
// sample, and the pieces are handed out as threads come free: more pieces
// even out a thread whose core another process keeps busy; each doubling
// costs one more comparison a value in the split.
constexpr std::size_t kTeamPiecesPerThread = 4;
// The reading of the split (count, then scatter) is cut into this many chunks
// a thread, handed out the same way.
constexpr std::size_t kTeamChunksPerThread = 4;
// Sample values drawn per piece: enough that the pieces come out within a
// few per cent of their share on any distribution.
constexpr std::size_t kSamplePerPiece = 64;

// A thread waiting for its team spins this many times (a few microseconds)
// before it sleeps: long enough for a team that arrives together, short
// enough to hand a busy core to a late member.
constexpr int kRendezvousSpins = 4000;

}  // namespace velmora::tuning

namespace velmora::tuning {

// supersort: a list that a team sorts while the calling thread makes the
// floats is cut into at least this many pieces, so that the first is ready
// after a small share of the sorting and the floats follow the team closely.
constexpr std::size_t kPipelinePieces = 64;
// ... by at least this many threads, the calling thread one of them. With
// one thread beside it the pipeline hides no more than the key sort (8 of
// sort's 31 ms at 10^6 values on the 2-CPU machine measured, the floats
// taking 20), and its split, its reading as doubles and two threads sharing
// the memory cost as much: supersort(2) took 1.04-1.30 times sort's time.
// Smaller teams take sort's key pipeline, the keys sorted without the lock.
constexpr int kPipelineThreadsMin = 3;
// ... and its split's passes into at least this many chunks: a thread that
// another process keeps off its core holds up the others no longer than the
// chunk it has taken lasts.
constexpr std::size_t kPipelineChunks = 64;

}  // namespace velmora::tuning

// The path a converted list takes through the engine, chosen in one place for
// both entry points: direct, shortcut, presorted runs, nearly sorted, whole
// list, and the bucket pass of the reference switch.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "engine/bucket_pass.hpp"
#include "engine/parallel_region.hpp"
#include "engine/sorter_status.hpp"
#include "engine/zero_group.hpp"

namespace velmora::engine {

enum class Outcome {
    sorted,     // `result` holds the sorted values
    shortcut,   // nothing to sort: the caller's own list is the answer where it still
                // holds the values read
    failed,     // the sorter failed; the status says how
    pieces,     // supersort: `result` holds the values, unsorted, for the
                // caller to sort in pieces as its PieceJob says
};

// A list with a unique order but for its NaNs and the zeros' group, which
// the caller sorts in pieces on a team (piece_sort.hpp) while it uses them.
struct PieceJob {
    int team = 0;
    std::size_t nans = 0;
    // Sorted aside already: copied over its range once that is sorted.
    std::optional<ZeroGroup> zeros;
};

struct ListPlan {
    // Lists up to this length go whole to the group sorter.
    std::int64_t direct_max;
    // About one bucket per this many values.
    std::int64_t divisor;
    // supersort: gives up the interpreter lock around the team's sort (the
    // engine never calls the interpreter itself). Empty for sort.
    WithoutLock without_lock;
    // supersort: the size of the team that sorts a list of this many buckets
    // and finite values, asked once after the scan. The team sorts the list
    // whole (sort_whole_list_on_team). Empty for sort.
    std::function<int(std::int64_t bucket_count, std::size_t values)> team;
    // supersort: where given, a team of two or more gets the list as a
    // PieceJob (Outcome::pieces) instead of sorting it whole.
    PieceJob* pieces = nullptr;
};

// Sorts `lst`, the converted values of a list that had `n` elements before
// the conversion (n decides the path and the bucket count), into `result`.
// `lst` is consumed, except on the shortcut, which leaves it as it was.
// A failure of the group sorter is Outcome::failed, with `status` saying what
// failed; other native failures (std::bad_alloc, ...) propagate as exceptions
// for the caller to translate.
Outcome sort_list(std::vector<double>& lst, std::int64_t n, const ListPlan& plan,
                  std::vector<double>& result, SorterStatus& status);

// True when sort may read a long list of exact floats straight into their
// order keys (key_facts.hpp): the vectorised kernel is in use and the
// reference switch is off.
bool key_pipeline_open() noexcept;

// Sorts keys[0, n), for which KeyFacts::keys_decide held, in place: merged run
// by run or as nearly sorted input where the list is such, by vqsort
// otherwise. May throw std::bad_alloc (the keys are then still a permutation).
void sort_keys(std::uint64_t* keys, std::size_t n);

// Sorts the non-empty buckets of `pass` one after another on this thread;
// stops at the first failure.
SorterStatus sort_buckets_in_sequence(BucketPass& pass) noexcept;

}  // namespace velmora::engine

// The path a converted list takes through the engine, chosen in one place for
// both entry points: direct, shortcut, presorted runs, nearly sorted, one
// piece, buckets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "engine/bucket_pass.hpp"

namespace velmora::engine {

enum class Outcome {
    sorted,     // `result` holds the sorted values
    shortcut,   // nothing to sort: the caller's own list is the answer where it still
                // holds the values read
    failed,     // the sorter has reported a Python exception
};

struct ListPlan {
    // Lists up to this length go whole to the group sorter.
    std::int64_t direct_max;
    // About one bucket per this many values.
    std::int64_t divisor;
    // A list whose values have a unique order may be sorted in one piece: the
    // buckets could not change its result.
    bool whole_list;
    // Sorts every non-empty bucket of the pass; false once a failure has been
    // reported.
    std::function<bool(BucketPass&)> sort_buckets;
    // supersort: the size of the team that would sort a pass of this many
    // buckets and finite values, asked once after the scan. The team sorts a
    // list with a unique order whole instead, releasing the interpreter lock
    // for it as for the buckets (sort_whole_list_on_team). Empty for sort.
    std::function<int(std::int64_t bucket_count, std::size_t values)> team;
};

// Sorts `lst`, the converted values of a list that had `n` elements before
// the conversion (n decides the path and the bucket count), into `result`.
// `lst` is consumed, except on the shortcut, which leaves it as it was.
// Native failures (std::bad_alloc, ...) propagate as
// exceptions for the caller to translate.
Outcome sort_list(std::vector<double>& lst, std::int64_t n, const ListPlan& plan,
                  std::vector<double>& result);

// True when sort may read a long list of exact floats straight into their
// order keys (key_facts.hpp): the vectorised kernel is in use and the
// reference switch is off.
bool key_pipeline_open() noexcept;

// Sorts keys[0, n), for which KeyFacts::keys_decide held, in place: merged run
// by run or as nearly sorted input where the list is such, by vqsort
// otherwise. May throw std::bad_alloc (the keys are then still a permutation).
void sort_keys(std::uint64_t* keys, std::size_t n);

// Sorts the non-empty buckets of `pass` one after another on this thread.
bool sort_buckets_in_sequence(BucketPass& pass) noexcept;

}  // namespace velmora::engine

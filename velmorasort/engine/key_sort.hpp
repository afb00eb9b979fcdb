// sort's own pipeline for a list of exact floats: the read makes each value's
// order key (radix_sort.hpp) and notes what decides whether the keys may be
// sorted as they are; they are then sorted in place, and each float is made
// from its key. No value is ever held as a double in between.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velmora::engine {

// What the read notes of every key it makes.
class KeyFacts {
  public:
    void add(std::uint64_t key) noexcept {
        low_ = key < low_ ? key : low_;
        high_ = key > high_ ? key : high_;
        // -0.0 and +0.0 have neighbouring keys.
        zero_ |= key - kNegativeZeroKey < 2;
    }

    // True when keys[0, n), the keys added, may be sorted as they are: the
    // values are not all equal (that is the shortcut's case) and have a
    // unique ascending order (no NaN, not both zero signs), which every exact
    // method gives the same bits. Otherwise the doubles take the ordinary
    // path, with its scan.
    bool keys_decide(const std::uint64_t* keys, std::size_t n) const noexcept;

  private:
    static constexpr std::uint64_t kNegativeZeroKey = 0x7FFFFFFFFFFFFFFFULL;
    std::uint64_t low_ = ~std::uint64_t{0}, high_ = 0;
    bool zero_ = false;
};

// True when lists may take this pipeline: the vectorised kernel is in use and
// the reference switch is off.
bool key_pipeline_open() noexcept;

// Sorts keys[0, n), for which KeyFacts::keys_decide held, in place: merged run
// by run or as nearly sorted input where the list is such, by vqsort
// otherwise. May throw std::bad_alloc (the keys are then still a permutation).
void sort_keys(std::uint64_t* keys, std::size_t n);

}  // namespace velmora::engine

// What a read of exact floats straight into their order keys (radix_sort.hpp)
// notes, to tell whether the keys may be sorted as they are (sort_keys in
// sort_plan.hpp): then no value is ever held as a double in between.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velmora::engine {

// What the read notes of every value it makes a key of: two flags, a few
// instructions a value, no branch.
class KeyFacts {
  public:
    // `first`: the first key, before any add.
    explicit KeyFacts(std::uint64_t first = 0) noexcept : previous_(first) {}

    // `bits`: the value's bits; `key`: its order key.
    void add(std::uint64_t bits, std::uint64_t key) noexcept {
        // Zero, infinity or NaN: twice the bits (the sign dropped), less one,
        // wraps around for zeros and reaches the infinities' from there on.
        special_ |= bits + bits - 1 >= kInfinityTwice - 1;
        differs_ |= key ^ previous_;
        previous_ = key;
    }

    // True when keys[0, n), the keys added, may be sorted as they are: the
    // values are not all equal (that is the shortcut's case) and have a
    // unique ascending order (no NaN, not both zero signs), which every exact
    // method gives the same bits. Otherwise the doubles take the ordinary
    // path, with its scan.
    bool keys_decide(const std::uint64_t* keys, std::size_t n) const noexcept;

  private:
    static constexpr std::uint64_t kInfinityTwice = 0xFFE0000000000000ULL;
    std::uint64_t previous_;
    std::uint64_t differs_ = 0;
    bool special_ = false;
};

}  // namespace velmora::engine

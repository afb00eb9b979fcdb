// The piece of an order key among sorted splitters, for the split's two
// passes over every value. A binary search over all of them makes each value
// wait for six dependent loads and, written with branches, mispredict at
// every step. Instead a table of key ranges (slots) between the first and
// the last splitter gives the first piece a slot's keys may fall in, and two
// steps without a branch settle the rest, where a slot holds at most three
// splitters; a slot that holds more (many equal splitters, from a value
// repeated throughout the list) takes the full search.
#pragma once

#include <cstddef>
#include <algorithm>
#include <cstdint>
#include <limits>
#include <vector>

namespace velmora::engine {

class PieceMap {
  public:
    struct Slot {
        std::uint16_t first;   // the piece of the slot's lowest key
        std::uint16_t wide;    // more than three splitters in the slot
    };

    // What the passes read, by value: a copy in the loop's own variables
    // stays in registers, where the members could alias the counts it stores.
    struct Lookup {
        const Slot* slots;
        const std::uint64_t* splitters;   // followed by three of the largest key
        std::size_t pieces, slot_count;
        std::uint64_t low;
        int shift;

        // The number of splitters at or below `key`.
        std::size_t piece(std::uint64_t key) const noexcept {
            if (key < low) return 0;
            const std::uint64_t s = (key - low) >> shift;
            if (s >= slot_count) return pieces - 1;   // above the last splitter
            const Slot slot = slots[static_cast<std::size_t>(s)];
            if (slot.wide != 0) return search(key);
            std::size_t piece = slot.first;
            piece += 2 & mask(splitters[piece + 1] <= key);
            piece += 1 & mask(splitters[piece] <= key);
            return piece;
        }

        // The same by halving steps over every splitter.
        std::size_t search(std::uint64_t key) const noexcept {
            std::size_t piece = 0;
            for (std::size_t step = pieces / 2; step != 0; step /= 2) {
                piece += step & mask(splitters[piece + step - 1] <= key);
            }
            return piece;
        }

        // All ones where `condition` holds: a mask, not a conditional, which
        // compilers turn into a branch.
        static std::size_t mask(bool condition) noexcept {
            return std::size_t{0} - static_cast<std::size_t>(condition);
        }
    };

    // Room for the table and `pieces` pieces (a power of two, at least 2);
    // may throw std::bad_alloc.
    explicit PieceMap(std::size_t pieces)
        : slots_(kSlots), padded_(pieces + 2, std::numeric_limits<std::uint64_t>::max()) {}

    // For the pieces - 1 sorted splitters: splitters[k - 1] is the smallest
    // key of piece k.
    void build(const std::uint64_t* splitters) noexcept {
        const std::size_t pieces = padded_.size() - 2;
        std::copy(splitters, splitters + pieces - 1, padded_.begin());
        Lookup& m = lookup_;
        m.slots = slots_.data();
        m.splitters = padded_.data();
        m.pieces = pieces;
        m.low = splitters[0];
        const std::uint64_t span = splitters[pieces - 2] - m.low;
        m.shift = 0;
        while ((span >> m.shift) >= kSlots) ++m.shift;
        m.slot_count = static_cast<std::size_t>(span >> m.shift) + 1;
        for (std::size_t s = 0; s < m.slot_count; ++s) {
            const std::uint64_t first = m.low + (static_cast<std::uint64_t>(s) << m.shift);
            const std::uint64_t last = first + ((std::uint64_t{1} << m.shift) - 1);
            const std::size_t a = m.search(first), b = m.search(last);
            slots_[s] = {static_cast<std::uint16_t>(a), static_cast<std::uint16_t>(b - a > 3)};
        }
    }

    Lookup lookup() const noexcept { return lookup_; }

  private:
    static constexpr std::size_t kSlots = std::size_t{1} << 14;

    std::vector<Slot> slots_;
    std::vector<std::uint64_t> padded_;
    Lookup lookup_{};
};

}  // namespace velmora::engine

// The piece of an order key among sorted splitters, for the split's two
// passes over every value: a table of key ranges (slots) between the first
// and the last splitter says which pieces a slot's keys may fall in, and only
// a slot that holds a splitter needs a search among the few it holds. A
// binary search alone makes each value wait for six or more dependent loads,
// which made the split cost as much as sorting the pieces.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace velmora::engine {

class PieceMap {
  public:
    struct Slot {
        std::uint32_t first, last;   // the pieces of the slot's lowest and highest key
    };

    // What the passes read, by value: a copy in the loop's own variables
    // stays in registers, where the members could alias the counts it stores.
    struct Lookup {
        const Slot* slots;
        const std::uint64_t* splitters;
        std::size_t count, slot_count;
        std::uint64_t low;
        int shift;

        // The number of splitters at or below `key`.
        std::size_t piece(std::uint64_t key) const noexcept {
            if (key < low) return 0;
            const std::uint64_t s = (key - low) >> shift;
            if (s >= slot_count) return count;   // above the last splitter
            const Slot slot = slots[static_cast<std::size_t>(s)];
            if (slot.first == slot.last) return slot.first;
            return search(slot.first, slot.last, key);
        }

        // first + the number of splitters[first, last) at or below `key`,
        // where every splitter before `first` is at or below it.
        std::size_t search(std::size_t first, std::size_t last, std::uint64_t key) const noexcept {
            std::size_t n = last - first;
            while (n > 0) {
                const std::size_t half = n / 2;
                if (splitters[first + half] <= key) {
                    first += half + 1;
                    n -= half + 1;
                } else {
                    n = half;
                }
            }
            return first;
        }
    };

    // Room for the table; may throw std::bad_alloc.
    PieceMap() : slots_(kSlots) {}

    // For `count` (at least 1) sorted splitters: splitters[k - 1] is the
    // smallest key of piece k. Keeps the pointer.
    void build(const std::uint64_t* splitters, std::size_t count) noexcept {
        Lookup& m = lookup_;
        m.slots = slots_.data();
        m.splitters = splitters;
        m.count = count;
        m.low = splitters[0];
        const std::uint64_t span = splitters[count - 1] - m.low;
        m.shift = 0;
        while ((span >> m.shift) >= kSlots) ++m.shift;
        m.slot_count = static_cast<std::size_t>(span >> m.shift) + 1;
        for (std::size_t s = 0; s < m.slot_count; ++s) {
            const std::uint64_t first = m.low + (static_cast<std::uint64_t>(s) << m.shift);
            const std::uint64_t last = first + ((std::uint64_t{1} << m.shift) - 1);
            slots_[s] = {static_cast<std::uint32_t>(m.search(0, count, first)),
                         static_cast<std::uint32_t>(m.search(0, count, last))};
        }
    }

    Lookup lookup() const noexcept { return lookup_; }

  private:
    static constexpr std::size_t kSlots = std::size_t{1} << 12;

    std::vector<Slot> slots_;
    Lookup lookup_{};
};

}  // namespace velmora::engine

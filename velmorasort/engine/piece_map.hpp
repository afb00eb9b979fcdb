// The piece of an order key among sorted splitters, for the split's two
// passes over every value: a table of key ranges (slots) between the first
// and the last splitter says which pieces a slot's keys may fall in, and only
// a slot that holds a splitter needs a search among the few it holds. A
// binary search alone makes each value wait for six or more dependent loads,
// which made the split cost as much as sorting the pieces.
//
// Where one gap between neighbouring splitters spans most of the key range,
// as between the negative and the positive values of a list with both (their
// keys lie at the two ends of the key space), a table over the whole range
// would spend nearly every slot on the gap and crowd the splitters into a
// few slots: the table leaves the gap out, keys above it shifted down over
// it. Values of both signs split several times slower without.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
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
        // The gap left out: keys past gap_low and below gap_low + gap_width + 1
        // are in piece gap_piece; keys past it are shifted down by gap_width.
        std::uint64_t gap_low, gap_width;
        std::size_t gap_piece;

        // The number of splitters at or below `key`.
        std::size_t piece(std::uint64_t key) const noexcept {
            std::uint64_t packed = key;
            // The same way for every value of a split: a list without the gap
            // pays only this test, which never mispredicts.
            if (gap_width != 0) {
                if (key - gap_low - 1 < gap_width) return gap_piece;   // inside the gap
                // Shifted without a branch: values of both signs in random
                // order would mispredict one every other time.
                const std::uint64_t past = std::uint64_t{0} - static_cast<std::uint64_t>(key > gap_low);
                packed = key - (past & gap_width);
            }
            if (packed < low) return 0;
            const std::uint64_t s = (packed - low) >> shift;
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
        // The widest gap between neighbours, left out where it is most of
        // the range.
        std::size_t g = 0;
        std::uint64_t widest = 0;
        for (std::size_t k = 0; k + 1 < count; ++k) {
            if (splitters[k + 1] - splitters[k] > widest) {
                widest = splitters[k + 1] - splitters[k];
                g = k;
            }
        }
        const std::uint64_t span = splitters[count - 1] - m.low;
        m.gap_low = std::numeric_limits<std::uint64_t>::max();
        m.gap_width = 0;
        m.gap_piece = count;
        if (widest > span - widest) {
            m.gap_low = splitters[g];
            m.gap_width = widest - 1;   // splitters[g + 1] lands just past splitters[g]
            m.gap_piece = g + 1;
        }
        const std::uint64_t packed_span = span - m.gap_width;
        m.shift = 0;
        while ((packed_span >> m.shift) >= kSlots) ++m.shift;
        m.slot_count = static_cast<std::size_t>(packed_span >> m.shift) + 1;
        for (std::size_t s = 0; s < m.slot_count; ++s) {
            const std::uint64_t first = m.low + (static_cast<std::uint64_t>(s) << m.shift);
            const std::uint64_t last = first + ((std::uint64_t{1} << m.shift) - 1);
            slots_[s] = {static_cast<std::uint32_t>(m.search(0, count, unpacked(first))),
                         static_cast<std::uint32_t>(m.search(0, count, unpacked(last)))};
        }
    }

    Lookup lookup() const noexcept { return lookup_; }

  private:
    static constexpr std::size_t kSlots = std::size_t{1} << 12;

    // The key a shifted key stands for.
    std::uint64_t unpacked(std::uint64_t packed) const noexcept {
        return packed > lookup_.gap_low ? packed + lookup_.gap_width : packed;
    }

    std::vector<Slot> slots_;
    Lookup lookup_{};
};

}  // namespace velmora::engine

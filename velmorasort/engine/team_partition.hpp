// Sorting a whole list on a thread team by splitting it first: splitters
// drawn from a sample cut the values into pieces, the team counts and
// scatters them chunk by chunk, then sorts the pieces in place of one
// another. Every phase is handed out as threads come free, so a thread on a
// busy core takes less of it, and nothing needs merging afterwards.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/piece_map.hpp"

namespace velmora::engine {

// The team's shared bookkeeping, made before the region (the region itself
// allocates nothing): the splitters, a count per chunk and piece, and each
// member's working row of counts.
class TeamPartition {
public:
    // For a team of `team` threads, in at least `min_pieces` pieces and
    // `min_chunks` chunks, with a row of counts for at least `rows` threads;
    // may throw std::bad_alloc.
    explicit TeamPartition(int team, std::size_t min_pieces = 0, std::size_t min_chunks = 0,
                           std::size_t rows = 0);

    // Sorts the unique-order values[0, n) (both zero signs allowed, in some
    // order among each other); `out` has room for n values. Must be called by
    // every thread of the current team, of at most the constructor's `team`
    // threads, with the same arguments, from inside a parallel region. Returns the buffer that holds the sorted values:
    // `values` or `out`, the other one left as scratch.
    double* sort(double* values, std::size_t n, double* out) noexcept;

    // sort's first half: scatters values[0, n) into out[0, n) piece by piece,
    // pieces in ascending order, each in input order. The same calling rules
    // (outside a region it runs on the calling thread alone).
    void split(const double* values, std::size_t n, double* out) noexcept;
    // The other half, for one piece at a time on any thread: sorts piece
    // `piece` of `out` into the same range of `values`, `out`'s range left
    // as scratch.
    void sort_piece(std::size_t piece, double* values, double* out) const noexcept;

    // split's steps, for threads that share them out by themselves: first
    // the splitters (one thread); then every chunk counted, each by one
    // thread with a row of counts of its own (`row`, below the rows asked
    // for); then the chunks placed (one thread, once every chunk is
    // counted); then every chunk scattered.
    void choose_splitters(const double* values, std::size_t n) noexcept;
    void count_chunk(std::size_t chunk, const double* values, std::size_t n, std::size_t row) noexcept;
    void place_chunks(std::size_t n) noexcept;
    void scatter_chunk(std::size_t chunk, const double* values, std::size_t n, double* out,
                       std::size_t row) noexcept;

    std::size_t chunks() const noexcept { return chunks_; }
    std::size_t pieces() const noexcept { return pieces_; }
    // Where piece `piece` begins; piece_begin(pieces()) is n. Known after split.
    std::size_t piece_begin(std::size_t piece) const noexcept { return piece_start_[piece]; }

private:
    std::size_t chunk_bound(std::size_t chunk, std::size_t n) const noexcept { return n * chunk / chunks_; }

    std::size_t pieces_;   // a power of two
    std::size_t chunks_;
    std::vector<std::uint64_t> sample_;
    // splitters_[k - 1] is the smallest key of piece k (k >= 1).
    std::vector<std::uint64_t> splitters_;
    PieceMap map_;
    // counts_[chunk * pieces_ + piece]; after place_chunks, where that
    // chunk's values of that piece go. piece_start_ has pieces_ + 1 entries.
    std::vector<std::size_t> counts_;
    std::vector<std::size_t> piece_start_;
    // A row of counts per member, member_stride_ apart, for the chunk it
    // works on.
    std::size_t member_stride_;
    std::vector<std::size_t> member_counts_;
};

}  // namespace velmora::engine

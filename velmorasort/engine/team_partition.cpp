#include "engine/team_partition.hpp"

#include <omp.h>

#include <algorithm>

#include "engine/group_sort.hpp"
#include "engine/portable.hpp"
#include "engine/radix_sort.hpp"
#include "engine/tuning.hpp"

namespace velmora::engine {
namespace {

using portable::LoopIndex;

// The counts grow with chunks times pieces, both a multiple of the team: a
// team of more than 256 threads gets fewer pieces a thread.
constexpr std::size_t kMaxPieces = 1024;

// Counts that fill a cache line.
constexpr std::size_t kCountsPerLine = 64 / sizeof(std::size_t);

std::size_t power_of_two_at_least(std::size_t n) {
    std::size_t p = 1;
    while (p < n) p *= 2;
    return p;
}

}  // namespace

TeamPartition::TeamPartition(int team, std::size_t min_pieces, std::size_t min_chunks, std::size_t rows)
    : pieces_(std::min(power_of_two_at_least(std::max(static_cast<std::size_t>(team) * tuning::kTeamPiecesPerThread,
                                                      min_pieces)),
                       kMaxPieces)),
      chunks_(std::max(static_cast<std::size_t>(team) * tuning::kTeamChunksPerThread, min_chunks)),
      sample_(pieces_ * tuning::kSamplePerPiece),
      splitters_(pieces_ - 1),
      map_(pieces_),
      counts_(chunks_ * pieces_),
      piece_start_(pieces_ + 1),
      // A line's gap after each row: no two members' rows share a line.
      member_stride_((pieces_ + kCountsPerLine - 1) / kCountsPerLine * kCountsPerLine + kCountsPerLine),
      member_counts_(std::max(static_cast<std::size_t>(team), rows) * member_stride_) {}

void TeamPartition::choose_splitters(const double* values, std::size_t n) noexcept {
    // An even stride over the list: any choice gives the same result, a
    // representative one gives pieces of about equal size.
    const std::size_t taken = std::min(sample_.size(), n);
    for (std::size_t i = 0; i < taken; ++i) sample_[i] = order_key(values[i * n / taken]);
    std::sort(sample_.begin(), sample_.begin() + static_cast<std::ptrdiff_t>(taken));
    for (std::size_t k = 1; k < pieces_; ++k) splitters_[k - 1] = sample_[k * taken / pieces_];
    map_.build(splitters_.data());
}

void TeamPartition::place_chunks(std::size_t n) noexcept {
    // Piece by piece, and within a piece chunk by chunk: the scatter keeps
    // input order within a piece.
    std::size_t at = 0;
    for (std::size_t p = 0; p < pieces_; ++p) {
        piece_start_[p] = at;
        for (std::size_t c = 0; c < chunks_; ++c) {
            const std::size_t count = counts_[c * pieces_ + p];
            counts_[c * pieces_ + p] = at;
            at += count;
        }
    }
    piece_start_[pieces_] = n;
}

void TeamPartition::count_chunk(std::size_t chunk, const double* values, std::size_t n, std::size_t row) noexcept {
    // Each chunk counts and scatters with its own copy of its row of counts:
    // rows of neighbouring chunks share cache lines, and two threads
    // writing them at every value made the passes several times slower.
    // The copy is the member's row of the scratch, not an array on its stack:
    // runtime threads may have as little stack as the system allows, and
    // the kernels need that (team_limits.hpp).
    const std::size_t pieces = pieces_;
    const PieceMap::Lookup map = map_.lookup();
    std::size_t* const local = member_counts_.data() + row * member_stride_;
    std::fill(local, local + pieces, std::size_t{0});
    const std::size_t end = chunk_bound(chunk + 1, n);
    for (std::size_t i = chunk_bound(chunk, n); i < end; ++i) ++local[map.piece(order_key(values[i]))];
    std::copy(local, local + pieces, counts_.data() + chunk * pieces);
}

void TeamPartition::scatter_chunk(std::size_t chunk, const double* values, std::size_t n, double* out,
                                  std::size_t row) noexcept {
    const std::size_t pieces = pieces_;
    const PieceMap::Lookup map = map_.lookup();
    std::size_t* const local = member_counts_.data() + row * member_stride_;
    const std::size_t* const counts = counts_.data() + chunk * pieces;
    std::copy(counts, counts + pieces, local);
    const std::size_t end = chunk_bound(chunk + 1, n);
    for (std::size_t i = chunk_bound(chunk, n); i < end; ++i) {
        const double value = values[i];
        out[local[map.piece(order_key(value))]++] = value;
    }
}

void TeamPartition::split(const double* values, std::size_t n, double* out) noexcept {
    const std::size_t row = static_cast<std::size_t>(omp_get_thread_num());
#pragma omp single
    choose_splitters(values, n);
    // Implicit barrier: every thread sees the splitters and their map.
#pragma omp for schedule(dynamic, 1)
    for (LoopIndex c = 0; c < static_cast<LoopIndex>(chunks_); ++c) {
        count_chunk(static_cast<std::size_t>(c), values, n, row);
    }
#pragma omp single
    place_chunks(n);
#pragma omp for schedule(dynamic, 1)
    for (LoopIndex c = 0; c < static_cast<LoopIndex>(chunks_); ++c) {
        scatter_chunk(static_cast<std::size_t>(c), values, n, out, row);
    }
}

double* TeamPartition::sort(double* values, std::size_t n, double* out) noexcept {
    split(values, n, out);
#pragma omp for schedule(dynamic, 1)
    for (LoopIndex p = 0; p < static_cast<LoopIndex>(pieces_); ++p) {
        sort_piece(static_cast<std::size_t>(p), values, out);
    }
    return values;
}

void TeamPartition::sort_piece(std::size_t piece, double* values, double* out) const noexcept {
    const std::size_t lo = piece_start_[piece];
    sort_unique(out + lo, piece_start_[piece + 1] - lo, values + lo);
}

}  // namespace velmora::engine

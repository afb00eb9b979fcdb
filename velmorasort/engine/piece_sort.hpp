// Sorting a list in pieces that come out in order, for a caller that uses
// each finished piece while later ones are still being sorted (supersort
// makes the floats of the first pieces meanwhile). The values are split by
// splitters drawn from a sample, chunk by chunk, then the pieces are sorted
// one by one. Every step is claimed by whichever thread comes for it, the
// calling thread included, and no thread waits for another except for a
// step that is already under way: a thread that another process keeps off
// its core holds up no more than the chunk or piece it has taken. The
// result is the team sort's: pieces are ranges of the one ascending order.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>

#include "engine/team_partition.hpp"

namespace velmora::engine {

class PieceSort {
  public:
    // values[0, n): a unique ascending order but for the zeros' group, and
    // `nans` NaNs. `out`: room for n values, the scratch. For `threads`
    // threads in all, the calling thread one of them. Throws std::bad_alloc.
    PieceSort(double* values, std::size_t n, std::size_t nans, double* out, int threads);
    // Stops the team and waits for it.
    ~PieceSort();
    PieceSort(const PieceSort&) = delete;
    PieceSort& operator=(const PieceSort&) = delete;

    // Sets the NaNs aside, draws the splitters and hands the other threads
    // their work; returns at once where they run on the team host, after
    // all of it otherwise.
    void start() noexcept;
    // The calling thread's share of the split; returns once the values are
    // split, so that every piece's range is known.
    void split() noexcept;

    std::size_t pieces() const noexcept { return partition_.pieces(); }
    // Piece k is values[piece_begin(k), piece_begin(k + 1)) once ready;
    // piece_begin(pieces()) is the count of values other than NaN.
    std::size_t piece_begin(std::size_t k) const noexcept { return partition_.piece_begin(k); }
    bool ready(std::size_t k) const noexcept { return done_[k].load(std::memory_order_acquire) != 0; }
    // Blocks until piece k is sorted, sorting pieces no thread took yet
    // meanwhile. Only after split().
    void make_ready(std::size_t k) noexcept;

    // The NaNs, in input order: out[piece_begin(pieces()), n).
    const double* nans() const noexcept { return out_ + kept_; }

    // No thread takes another piece; the caller no longer waits for any.
    void stop() noexcept { stop_.store(true); }
    // Waits until the other threads are done with the buffers.
    void finish() noexcept;

  private:
    static void run(void* self, int size) noexcept;
    void share_of_split(std::size_t row) noexcept;
    bool take_piece() noexcept;
    void raise(bool& flag) noexcept;
    void wait_for(const bool& flag) noexcept;

    double* const values_;
    double* const out_;
    const std::size_t n_, nans_;
    std::size_t kept_ = 0;   // values other than NaN
    const int threads_;
    TeamPartition partition_;
    std::unique_ptr<std::atomic<unsigned char>[]> done_;
    std::atomic<std::size_t> next_count_{0}, counted_{0}, next_scatter_{0}, scattered_{0}, next_piece_{0};
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::condition_variable progress_;
    bool placed_ = false, split_ = false;   // under mutex_
    bool on_host_ = false;                  // the others work on the team host until finish()
};

}  // namespace velmora::engine

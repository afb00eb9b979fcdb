// Sorting a list in pieces that come out in order, for a caller that uses
// each finished piece while later ones are still being sorted (supersort
// makes the floats of the first pieces meanwhile). A team splits the values
// by splitters drawn from a sample, then its members take the pieces in
// order and sort them; a caller that needs a piece no member has taken yet
// sorts it itself. The result is the team sort's: pieces are ranges of the
// one ascending order.
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
    // `nans` NaNs. `out`: room for n values, the scratch. For a team of
    // `team` threads. Throws std::bad_alloc.
    PieceSort(double* values, std::size_t n, std::size_t nans, double* out, int team);
    // Stops the team and waits for it.
    ~PieceSort();
    PieceSort(const PieceSort&) = delete;
    PieceSort& operator=(const PieceSort&) = delete;

    // Sets the NaNs aside and hands the team its work; returns at once where
    // the team runs on its host, after all of it otherwise.
    void start() noexcept;
    // Blocks until the values are split, so that every piece's range is known.
    void wait_for_split() noexcept;

    std::size_t pieces() const noexcept { return partition_.pieces(); }
    // Piece k is values[piece_begin(k), piece_begin(k + 1)) once ready;
    // piece_begin(pieces()) is the count of values other than NaN.
    std::size_t piece_begin(std::size_t k) const noexcept { return partition_.piece_begin(k); }
    bool ready(std::size_t k) const noexcept { return done_[k].load(std::memory_order_acquire) != 0; }
    // Blocks until piece k is sorted, sorting pieces no member took yet
    // meanwhile. Only after wait_for_split().
    void make_ready(std::size_t k) noexcept;

    // The NaNs, in input order: out[piece_begin(pieces()), n).
    const double* nans() const noexcept { return out_ + kept_; }

    // Members take no more pieces; the caller no longer waits for any.
    void stop() noexcept { stop_.store(true); }
    // Waits until the team is done with the buffers.
    void finish() noexcept;

  private:
    static void run(void* self, int size) noexcept;
    void member(int size) noexcept;
    void take_pieces() noexcept;
    bool take_one() noexcept;
    void announce(std::size_t k) noexcept;

    double* const values_;
    double* const out_;
    const std::size_t n_, nans_;
    std::size_t kept_ = 0;   // values other than NaN
    const int team_;
    TeamPartition partition_;
    std::unique_ptr<std::atomic<unsigned char>[]> done_;
    std::atomic<std::size_t> next_{0};
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::condition_variable progress_;
    bool split_ = false;          // under mutex_
    bool on_host_ = false;        // the job runs on the team host until finish()
};

}  // namespace velmora::engine

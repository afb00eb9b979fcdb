#include "engine/piece_sort.hpp"

#include <omp.h>

#include "engine/group_sort.hpp"
#include "engine/team_host.hpp"
#include "engine/tuning.hpp"

namespace velmora::engine {

PieceSort::PieceSort(double* values, std::size_t n, std::size_t nans, double* out, int team)
    : values_(values), out_(out), n_(n), nans_(nans), team_(team),
      partition_(team, tuning::kPipelinePieces),
      done_(new std::atomic<unsigned char>[partition_.pieces()]) {
    for (std::size_t k = 0; k < partition_.pieces(); ++k) done_[k].store(0, std::memory_order_relaxed);
}

PieceSort::~PieceSort() {
    stop();
    finish();
}

void PieceSort::start() noexcept {
    kept_ = set_nans_aside(values_, n_, nans_, out_);
    on_host_ = start_team(TeamKind::split, team_, &PieceSort::run, this);
}

void PieceSort::run(void* self, int size) noexcept {
    PieceSort& s = *static_cast<PieceSort*>(self);
    if (size > 1) {
#pragma omp parallel num_threads(size)
        s.member(size);
    } else {
        s.member(1);
    }
}

void PieceSort::member(int size) noexcept {
    // The worksharing loops of the split end in a barrier: past it every
    // value is in its piece.
    partition_.split(values_, kept_, out_);
    if (omp_get_thread_num() == 0) {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            split_ = true;
        }
        progress_.notify_all();
    }
    // The caller makes the floats on a thread of its own: the host leaves
    // the pieces to the other members and so keeps the threads at work at
    // the team's size. Alone it sorts them all.
    if (size == 1 || omp_get_thread_num() != 0) take_pieces();
}

bool PieceSort::take_one() noexcept {
    if (stop_.load(std::memory_order_relaxed)) return false;
    const std::size_t k = next_.fetch_add(1);
    if (k >= partition_.pieces()) return false;
    partition_.sort_piece(k, values_, out_);
    announce(k);
    return true;
}

void PieceSort::take_pieces() noexcept {
    while (take_one()) {
    }
}

void PieceSort::announce(std::size_t k) noexcept {
    done_[k].store(1, std::memory_order_release);
    // Taken and let go, so that a caller between its check and its wait
    // cannot miss the notice.
    { const std::lock_guard<std::mutex> lock(mutex_); }
    progress_.notify_all();
}

void PieceSort::wait_for_split() noexcept {
    std::unique_lock<std::mutex> lock(mutex_);
    progress_.wait(lock, [this] { return split_; });
}

void PieceSort::make_ready(std::size_t k) noexcept {
    while (!ready(k)) {
        if (take_one()) continue;
        std::unique_lock<std::mutex> lock(mutex_);
        progress_.wait(lock, [this, k] { return ready(k); });
    }
}

void PieceSort::finish() noexcept {
    if (on_host_) wait_for_team();
    on_host_ = false;
}

}  // namespace velmora::engine

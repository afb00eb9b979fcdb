#include "engine/piece_sort.hpp"

#include <omp.h>

#include "engine/group_sort.hpp"
#include "engine/team_host.hpp"
#include "engine/tuning.hpp"

namespace velmora::engine {

PieceSort::PieceSort(double* values, std::size_t n, std::size_t nans, double* out, int threads)
    : values_(values), out_(out), n_(n), nans_(nans), threads_(threads),
      // A row of counts for each thread: the caller's is row 0.
      partition_(threads, tuning::kPipelinePieces, tuning::kPipelineChunks, static_cast<std::size_t>(threads) + 1),
      done_(new std::atomic<unsigned char>[partition_.pieces()]) {
    for (std::size_t k = 0; k < partition_.pieces(); ++k) done_[k].store(0, std::memory_order_relaxed);
}

PieceSort::~PieceSort() {
    stop();
    finish();
}

void PieceSort::start() noexcept {
    kept_ = set_nans_aside(values_, n_, nans_, out_);
    partition_.choose_splitters(values_, kept_);
    // The other threads: a team of threads - 1 on the host, which works
    // there even alone.
    on_host_ = start_team(TeamKind::split, threads_ - 1, &PieceSort::run, this, true);
}

void PieceSort::run(void* self, int size) noexcept {
    PieceSort& s = *static_cast<PieceSort*>(self);
    const auto member = [&s](std::size_t row) {
        s.share_of_split(row);
        while (s.take_piece()) {
        }
    };
    if (size > 1) {
#pragma omp parallel num_threads(size)
        member(static_cast<std::size_t>(omp_get_thread_num()) + 1);
    } else {
        member(1);
    }
    // The calling thread worked with them.
    record_team(TeamKind::split, size + 1);
}

void PieceSort::raise(bool& flag) noexcept {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        flag = true;
    }
    progress_.notify_all();
}

void PieceSort::wait_for(const bool& flag) noexcept {
    std::unique_lock<std::mutex> lock(mutex_);
    progress_.wait(lock, [&flag] { return flag; });
}

void PieceSort::share_of_split(std::size_t row) noexcept {
    const std::size_t chunks = partition_.chunks();
    for (std::size_t c; (c = next_count_.fetch_add(1)) < chunks;) {
        partition_.count_chunk(c, values_, kept_, row);
        // The thread that counts the last chunk places them all.
        if (counted_.fetch_add(1) + 1 == chunks) {
            partition_.place_chunks(kept_);
            raise(placed_);
        }
    }
    wait_for(placed_);
    for (std::size_t c; (c = next_scatter_.fetch_add(1)) < chunks;) {
        partition_.scatter_chunk(c, values_, kept_, out_, row);
        if (scattered_.fetch_add(1) + 1 == chunks) raise(split_);
    }
    wait_for(split_);
}

void PieceSort::split() noexcept { share_of_split(0); }

bool PieceSort::take_piece() noexcept {
    if (stop_.load(std::memory_order_relaxed)) return false;
    const std::size_t k = next_piece_.fetch_add(1);
    if (k >= partition_.pieces()) return false;
    partition_.sort_piece(k, values_, out_);
    done_[k].store(1, std::memory_order_release);
    // Taken and let go, so that a caller between its check and its wait
    // cannot miss the notice.
    { const std::lock_guard<std::mutex> lock(mutex_); }
    progress_.notify_all();
    return true;
}

void PieceSort::make_ready(std::size_t k) noexcept {
    while (!ready(k)) {
        if (take_piece()) continue;
        std::unique_lock<std::mutex> lock(mutex_);
        progress_.wait(lock, [this, k] { return ready(k); });
    }
}

void PieceSort::finish() noexcept {
    if (on_host_) wait_for_team();
    on_host_ = false;
}

}  // namespace velmora::engine

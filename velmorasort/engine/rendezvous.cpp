#include "engine/rendezvous.hpp"

#include "engine/portable.hpp"
#include "engine/tuning.hpp"

namespace velmora::engine {

void Rendezvous::arrive_and_wait(int team) noexcept {
    if (arrived_.fetch_add(1) + 1 == team) {
        // The last one: wake the sleepers. Taking the mutex orders the wake
        // after any sleeper's check of the count.
        { const std::lock_guard<std::mutex> hold(mutex_); }
        all_here_.notify_all();
        return;
    }
    for (int spin = 0; spin < tuning::kRendezvousSpins; ++spin) {
        if (arrived_.load(std::memory_order_acquire) >= team) return;
        portable::spin_pause();
    }
    std::unique_lock<std::mutex> hold(mutex_);
    all_here_.wait(hold, [&] { return arrived_.load() >= team; });
}

}  // namespace velmora::engine

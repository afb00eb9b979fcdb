// A meeting point for the threads of a team that waits without spinning for
// long. The OpenMP runtime spins at its barriers; on a machine whose cores are
// busy with other work, a spinning thread keeps the core that a late team
// member needs, and every barrier can cost a scheduler time slice. Threads
// meet here first, so the runtime's barrier that follows finds them all there.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>

namespace velmora::engine {

class Rendezvous {
  public:
    // Returns once `team` threads have arrived (team is the same for all).
    // Spins briefly, then sleeps until the last one wakes the others.
    void arrive_and_wait(int team) noexcept;

  private:
    std::atomic<int> arrived_{0};
    std::mutex mutex_;
    std::condition_variable all_here_;
};

}  // namespace velmora::engine

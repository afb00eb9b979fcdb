// The interpreter steps of supersort's thread teams: giving up and taking
// back the lock around the engine's sort, holding a thread state on a member
// that makes floats, and moving a member's exception to the caller. No Python
// type appears here; the lock rules live in region_interpreter.cpp.
#pragma once

#include <atomic>

namespace velmora::interpreter {

// True once interpreter shutdown has begun. A thread that does not hold the
// lock must not ask for it then: the interpreter ends such a thread on the
// spot, which inside an OpenMP region would abort the process.
bool finalizing() noexcept;

// The calling thread's own thread state while it has given up the lock.
struct HeldAside {
    void* thread_state;
};

// Gives up the calling thread's lock (it must hold it).
HeldAside release_lock() noexcept;
// Takes it back; parks the thread for good if the interpreter ends it.
void take_lock_back(HeldAside held) noexcept;

// Runs work(context) with the calling thread's lock given up (it must hold
// it) and takes it back after: the engine's sort on a team, which calls no
// interpreter function (engine::WithoutLock).
void run_without_lock(void (*work)(void* context), void* context) noexcept;

// A team member's hold on an interpreter thread state.
struct Attachment {
    bool attached;
    int gil_state;
    void* saved;
};

// A member that calls the interpreter all along (free-threaded builds' float
// team, parallel_floats.hpp) stays attached from hold to let_go. Skipped
// while the interpreter shuts down (a daemon thread's call): the thread then
// makes nothing.
Attachment hold() noexcept;
void let_go(const Attachment& attachment) noexcept;

// The first worker's Python exception of a region, moved out of its thread
// state. Created and destroyed by the calling thread with the lock held.
class WorkerError {
  public:
    WorkerError() noexcept = default;
    WorkerError(const WorkerError&) = delete;
    WorkerError& operator=(const WorkerError&) = delete;
    ~WorkerError();

    // Error path of an attached thread whose work left an exception pending
    // on its own thread state: takes the lock, moves that exception here if
    // none is yet, and gives the lock back. Later ones stay where they are
    // and go with their thread state. Does nothing during shutdown.
    void record_from_this_thread() noexcept;

    // With the lock held, after the region: makes the recorded exception the
    // calling thread's (replacing one it may have left itself), or, when none
    // could be recorded because the interpreter was shutting down, sets
    // RuntimeError "interpreter shut down during the sort".
    void raise_on_this_thread() noexcept;

  private:
    std::atomic<bool> claimed_{false};
    void* type_ = nullptr;
    void* value_ = nullptr;
    void* traceback_ = nullptr;
};

}  // namespace velmora::interpreter

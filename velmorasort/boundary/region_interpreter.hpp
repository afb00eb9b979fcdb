// What the engine needs from the interpreter: the interpreter steps of the
// parallel region (attach, detach, giving up and taking back the lock, moving
// a worker's exception) and the sorter's failure report. No Python type
// appears here, so the engine compiles without the Python headers; the lock
// rules live in region_interpreter.cpp.
#pragma once

#include <atomic>

#include "boundary/source_place.hpp"

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

// A team member's hold on an interpreter thread state for one region.
struct Attachment {
    bool attached;
    int gil_state;
    void* saved;
};

// Attach: gives the thread an interpreter thread state (the calling thread
// gets its own back) and lets the lock go at once. Skipped while the
// interpreter shuts down (a daemon thread's call): the sorting needs no lock.
Attachment attach() noexcept;
// Detach: takes the lock, then releases it with the token of the attach; a
// runtime thread's thread state (and any exception left on it) goes.
void detach(const Attachment& attachment) noexcept;

// The same for a member that calls the interpreter all along (free-threaded
// builds' float team, parallel_floats.hpp): the thread stays attached from
// hold to let_go. Skipped during shutdown like attach.
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

    // Error path of an attached thread whose sort left an exception pending
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

// Called from a catch-all handler on any thread, with or without the lock.
// Takes the lock, turns the active native exception into the matching Python
// exception, adds the sorter's traceback entry at `place` and gives the lock
// back. A thread without the lock skips it during shutdown (see finalizing);
// the region then reports for it.
void report_sorter_failure(SourcePlace place) noexcept;

// Runs `statement` of the sorter; a native exception it throws is reported as
// the sorter's failure at the caller's place. True when it succeeded.
template <typename Statement>
bool sorter_step(Statement statement, SourcePlace place = SourcePlace::here()) noexcept {
    try {
        statement();
        return true;
    } catch (...) {
        report_sorter_failure(place);
        return false;
    }
}

}  // namespace velmora::interpreter

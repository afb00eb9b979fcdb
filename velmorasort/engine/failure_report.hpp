// The engine's one way of reporting a failure to Python. It is implemented by
// the boundary, so the engine itself includes no Python header.
#pragma once

namespace velmora::engine {

// Called from inside a catch-all handler on any thread, with or without the
// interpreter lock. Takes the lock, turns the active native exception into the
// matching Python exception, adds the sorter's traceback entry at `line` and
// gives the lock back.
// Does nothing once the interpreter is shutting down (see below).
void report_sorter_failure(int line) noexcept;

// True once interpreter shutdown has begun. A thread that does not hold the
// interpreter lock must not ask for it then: the interpreter ends such a
// thread on the spot, which inside an OpenMP region would abort the process.
bool interpreter_finalizing() noexcept;

}  // namespace velmora::engine

// The engine's interpreter interface for a process without Python: there is
// no lock to give up or take back, and a sorter failure (a native exception
// the engine caught) is a finding, so it is printed and the process aborts.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>

#include "boundary/region_interpreter.hpp"

namespace velmora::interpreter {

bool finalizing() noexcept { return false; }

HeldAside release_lock() noexcept { return {nullptr}; }
void take_lock_back(HeldAside) noexcept {}

Attachment attach() noexcept { return {true, 0, nullptr}; }
void detach(const Attachment&) noexcept {}
Attachment hold() noexcept { return {true, 0, nullptr}; }
void let_go(const Attachment&) noexcept {}

WorkerError::~WorkerError() = default;
void WorkerError::record_from_this_thread() noexcept { claimed_.store(true); }
void WorkerError::raise_on_this_thread() noexcept {}

void report_sorter_failure(SourcePlace place) noexcept {
    const char* what = "a non-standard exception";
    try {
        throw;
    } catch (const std::exception& e) {
        what = e.what();
    } catch (...) {
    }
    std::fprintf(stderr, "sorter failure at %s:%d: %s\n", place.file, place.line, what);
    std::abort();
}

}  // namespace velmora::interpreter

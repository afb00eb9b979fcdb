#include "boundary/lock_taking.hpp"

#include <cxxabi.h>
#include <unistd.h>

namespace velmora {
namespace {

[[noreturn]] void park_forever() noexcept {
    for (;;) pause();
}

}  // namespace

PyGILState_STATE ensure_lock_or_park() noexcept {
    try {
        return PyGILState_Ensure();
    } catch (abi::__forced_unwind&) {
        park_forever();
    }
}

void restore_thread_or_park(PyThreadState* thread_state) noexcept {
    try {
        PyEval_RestoreThread(thread_state);
    } catch (abi::__forced_unwind&) {
        park_forever();
    }
}

}  // namespace velmora

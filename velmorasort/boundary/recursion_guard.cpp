#include "boundary/recursion_guard.hpp"

#include <pthread.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace velmora {
namespace {

constexpr const char* kWhere = " while calling a Python object";

// The stack that must be left for a call to go ahead: a round through our
// frames and the interpreter's back to the next guard, and the failure path
// of the round after it (traceback entries). A thread with a small stack
// keeps a quarter of it.
constexpr std::size_t kStackReserve = 64 * 1024;

struct StackBounds {
    std::uintptr_t floor = 0;   // 0 with no reserve: unknown, no check
    std::size_t reserve = 0;
};

// This thread's stack, found once (for the main thread the C library reads
// the process's mappings: not a per-call cost).
StackBounds find_stack_bounds() noexcept {
    StackBounds bounds;
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) return bounds;
    void* low = nullptr;
    std::size_t size = 0;
    if (pthread_attr_getstack(&attr, &low, &size) == 0) {
        bounds.floor = reinterpret_cast<std::uintptr_t>(low);
        bounds.reserve = std::min(kStackReserve, size / 4);
    }
    pthread_attr_destroy(&attr);
    return bounds;
}

bool stack_is_short() noexcept {
    thread_local const StackBounds bounds = find_stack_bounds();
    const auto sp = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    // Below the floor is another stack (a coroutine library's): not ours to judge.
    return sp >= bounds.floor && sp < bounds.floor + bounds.reserve;
}

}  // namespace

PythonCallGuard::PythonCallGuard() {
    if (stack_is_short()) {
        PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", kWhere);
        throw PythonError{};
    }
#if PY_VERSION_HEX < 0x030C0000
    if (Py_EnterRecursiveCall(kWhere)) throw PythonError{};
#endif
}

}  // namespace velmora

#include "boundary/recursion_guard.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "boundary/stack_bounds.hpp"

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

// This thread's stack and the reserve it keeps, found once per thread.
StackBounds find_stack_bounds() noexcept {
    const StackExtent stack = this_thread_stack();
    StackBounds bounds;
    if (stack.size != 0) {
        bounds.floor = stack.low;
        bounds.reserve = std::min(kStackReserve, stack.size / 4);
    }
    return bounds;
}

bool stack_is_short() noexcept {
    thread_local const StackBounds bounds = find_stack_bounds();
    const std::uintptr_t sp = stack_position();
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

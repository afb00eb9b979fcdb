// The calling thread's C stack, as each system reports it: what the
// recursion guard measures against.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/portable.hpp"   // VELMORA_MSVC and its intrinsics

namespace velmora {

// The lowest address of a stack that grows down, and its size; a size of 0
// means the system did not say (or there is no way to ask it here).
struct StackExtent {
    std::uintptr_t low = 0;
    std::size_t size = 0;
};

// The calling thread's stack. For the main thread on Linux the C library
// reads the process's mappings, so callers find it once per thread.
StackExtent this_thread_stack() noexcept;

// An address inside the caller's frame, close enough to the stack pointer
// for a reserve counted in kilobytes.
inline std::uintptr_t stack_position() noexcept {
#ifdef VELMORA_MSVC
    return reinterpret_cast<std::uintptr_t>(_AddressOfReturnAddress());
#else
    return reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
#endif
}

}  // namespace velmora

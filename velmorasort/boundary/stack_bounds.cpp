#include "boundary/stack_bounds.hpp"

#if defined(__linux__) || defined(__APPLE__)
#include <pthread.h>
#endif

namespace velmora {

#if defined(__linux__)

StackExtent this_thread_stack() noexcept {
    StackExtent extent;
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) return extent;
    void* low = nullptr;
    std::size_t size = 0;
    if (pthread_attr_getstack(&attr, &low, &size) == 0) {
        extent.low = reinterpret_cast<std::uintptr_t>(low);
        extent.size = size;
    }
    pthread_attr_destroy(&attr);
    return extent;
}

#elif defined(__APPLE__)

// Darwin gives the stack's top (its highest address) and its size.
StackExtent this_thread_stack() noexcept {
    const pthread_t self = pthread_self();
    const auto top = reinterpret_cast<std::uintptr_t>(pthread_get_stackaddr_np(self));
    const std::size_t size = pthread_get_stacksize_np(self);
    if (top == 0 || size == 0 || size > top) return {};
    return StackExtent{top - size, size};
}

#elif defined(_WIN32)

// The reserved region, guard pages included (Windows 8 and later, which
// every supported CPython needs).
StackExtent this_thread_stack() noexcept {
    ULONG_PTR low = 0;
    ULONG_PTR high = 0;
    GetCurrentThreadStackLimits(&low, &high);
    if (high <= low) return {};
    return StackExtent{static_cast<std::uintptr_t>(low), static_cast<std::size_t>(high - low)};
}

#else

// No known way to ask: the guard makes no check.
StackExtent this_thread_stack() noexcept { return {}; }

#endif

}  // namespace velmora

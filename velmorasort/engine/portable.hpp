// What differs between compilers and systems, in one place. GCC and clang
// keep their builtins; MSVC gets its intrinsics, Windows its own calls.
#pragma once

#include <cstdint>

#if defined(_MSC_VER) && !defined(__clang__)
#define VELMORA_MSVC 1
#include <intrin.h>
#endif

#if defined(_WIN32)
#include <chrono>
#include <thread>
#else
#include <unistd.h>
#endif

// A symbol that an embedding host looks up in the built module.
#if defined(_WIN32)
#define VELMORA_EXPORT __declspec(dllexport)
#else
#define VELMORA_EXPORT __attribute__((visibility("default")))
#endif

namespace velmora::portable {

// Leading zero bits of a value that is not zero.
inline int leading_zeros(std::uint64_t value) noexcept {
#ifdef VELMORA_MSVC
    unsigned long top = 0;
    _BitScanReverse64(&top, value);
    return 63 - static_cast<int>(top);
#else
    return __builtin_clzll(value);
#endif
}

// Asks for the memory at `address` to be fetched into the cache.
inline void prefetch(const void* address) noexcept {
#ifdef VELMORA_MSVC
#if defined(_M_X64) || defined(_M_IX86)
    _mm_prefetch(static_cast<const char*>(address), _MM_HINT_T0);
#else
    static_cast<void>(address);
#endif
#else
    __builtin_prefetch(address);
#endif
}

// One step of a spin wait: x86's pause lets the core's other thread run.
inline void spin_pause() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(VELMORA_MSVC) && (defined(_M_X64) || defined(_M_IX86))
    _mm_pause();
#endif
}

// Blocks the calling thread for good.
[[noreturn]] inline void sleep_forever() noexcept {
#if defined(_WIN32)
    for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
#else
    for (;;) pause();
#endif
}

}  // namespace velmora::portable

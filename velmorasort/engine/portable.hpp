// What differs between compilers and systems, in one place. GCC and clang
// keep their builtins; MSVC gets its intrinsics, Windows its own calls.
#pragma once

#include <cstdint>

#if defined(_MSC_VER) && !defined(__clang__)
#define VELMORA_MSVC 1
#include <intrin.h>
#endif

#include <cstddef>

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <chrono>
#include <thread>
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

// A symbol that an embedding host looks up in the built module.
#if defined(_WIN32)
#define VELMORA_EXPORT __declspec(dllexport)
#else
#define VELMORA_EXPORT __attribute__((visibility("default")))
#endif

namespace velmora::portable {

// The index type of an OpenMP worksharing loop: OpenMP 2.0 (MSVC's /openmp)
// takes only signed ones.
#if defined(_OPENMP) && _OPENMP < 200805
using LoopIndex = std::ptrdiff_t;
#else
using LoopIndex = std::size_t;
#endif

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

// Zeroed pages of their own for `size` bytes, apart from the allocator's
// heap, or null.
inline void* map_pages(std::size_t size) noexcept {
#if defined(_WIN32)
    return VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
#else
    void* const memory = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return memory == MAP_FAILED ? nullptr : memory;
#endif
}

inline void unmap_pages(void* memory, std::size_t size) noexcept {
#if defined(_WIN32)
    static_cast<void>(size);
    VirtualFree(memory, 0, MEM_RELEASE);
#else
    munmap(memory, size);
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

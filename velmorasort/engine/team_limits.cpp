#include "engine/team_limits.hpp"

#include "engine/portable.hpp"   // windows.h, where it applies

#if defined(_WIN32)
#include <mutex>
#include <thread>
#else
#include <pthread.h>
#include <sched.h>
#include <unistd.h>
#endif

#include <omp.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace velmora::engine {
namespace {

// Threads the runtime's pool holds for this calling thread. The pool lives as
// long as the thread and is resized to each region's team.
thread_local int pooled_threads = 0;

#if defined(_WIN32)
// Windows sets no limit on a process's threads or address space; a thread
// that cannot be made shows as std::system_error.
int probe_threads(int wanted) noexcept {
    std::vector<std::thread> threads;
    std::mutex gate;
    try {
        threads.reserve(static_cast<std::size_t>(wanted));
        std::unique_lock<std::mutex> closed(gate);
        try {
            for (int i = 0; i < wanted; ++i) {
                threads.emplace_back([&gate] { const std::lock_guard<std::mutex> pass(gate); });
            }
        } catch (...) {
        }
    } catch (...) {
    }
    for (std::thread& thread : threads) thread.join();
    return static_cast<int>(threads.size());
}
#else
// The variables that set the runtime's thread stack size, first the one it
// prefers. LLVM's runtime (libomp, whose omp.h defines KMP_VERSION_MAJOR)
// reads its own KMP_STACKSIZE too, and that one in bytes by default.
#ifdef KMP_VERSION_MAJOR
constexpr const char* kStackSizeVariables[] = {"KMP_STACKSIZE", "GOMP_STACKSIZE", "OMP_STACKSIZE"};
#else
constexpr const char* kStackSizeVariables[] = {"OMP_STACKSIZE", "GOMP_STACKSIZE"};
#endif

// The stack size the runtime gives its threads, in bytes: the first of
// kStackSizeVariables that is set ("<number>[B|K|M|G]", kilobytes by default),
// else 0 for the system's default, as the runtime itself reads them.
std::size_t runtime_stack_size() noexcept {
    for (const char* name : kStackSizeVariables) {
        const char* text = std::getenv(name);
        if (text == nullptr) continue;
        char* end = nullptr;
        const unsigned long long value = std::strtoull(text, &end, 10);
        if (end == text) continue;
        while (std::isspace(static_cast<unsigned char>(*end))) ++end;
        unsigned shift = std::strcmp(name, "KMP_STACKSIZE") == 0 ? 0 : 10;
        switch (std::toupper(static_cast<unsigned char>(*end))) {
            case 'B': shift = 0; break;
            case 'K': shift = 10; break;
            case 'M': shift = 20; break;
            case 'G': shift = 30; break;
            default: break;
        }
        return static_cast<std::size_t>(value << shift);
    }
    return 0;
}

void* wait_at_gate(void* gate) {
    pthread_mutex_lock(static_cast<pthread_mutex_t*>(gate));
    pthread_mutex_unlock(static_cast<pthread_mutex_t*>(gate));
    return nullptr;
}

// Starts up to `wanted` threads that all live at once, then lets them end;
// returns how many could be started.
int probe_threads(int wanted) noexcept {
    std::vector<pthread_t> threads;
    try {
        threads.reserve(static_cast<std::size_t>(wanted));
    } catch (...) {
        return 0;
    }
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) return 0;
    const std::size_t stack = runtime_stack_size();
    if (stack != 0) pthread_attr_setstacksize(&attr, stack);
    pthread_mutex_t gate = PTHREAD_MUTEX_INITIALIZER;
    pthread_mutex_lock(&gate);
    for (int i = 0; i < wanted; ++i) {
        pthread_t thread;
        if (pthread_create(&thread, &attr, wait_at_gate, &gate) != 0) break;
        threads.push_back(thread);
    }
    pthread_mutex_unlock(&gate);
    for (const pthread_t thread : threads) pthread_join(thread, nullptr);
    pthread_attr_destroy(&attr);
    return static_cast<int>(threads.size());
}
#endif

}  // namespace

int usable_cpus() noexcept {
#if defined(__linux__)
    for (int size = 1024; size <= (1 << 16); size *= 4) {
        cpu_set_t* set = CPU_ALLOC(size);
        if (set == nullptr) return 1;
        const std::size_t bytes = CPU_ALLOC_SIZE(size);
        const bool ok = sched_getaffinity(0, bytes, set) == 0;
        const int count = ok ? CPU_COUNT_S(bytes, set) : 0;
        CPU_FREE(set);
        if (ok) return std::max(count, 1);
    }
    return 1;
#elif defined(_WIN32)
    DWORD_PTR process = 0, system = 0;
    if (!GetProcessAffinityMask(GetCurrentProcess(), &process, &system)) return 1;
    int count = 0;
    for (; process != 0; process &= process - 1) ++count;
    return std::max(count, 1);
#else
    // macOS has no affinity mask to read: the CPUs online.
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? static_cast<int>(std::min<long>(online, INT_MAX)) : 1;
#endif
}

int startable_team(int team) noexcept {
    const int missing = team - 1 - pooled_threads;
    if (missing <= 0) return team;
    return pooled_threads + 1 + probe_threads(missing);
}

void note_team_started(int team) noexcept { pooled_threads = team - 1; }

}  // namespace velmora::engine

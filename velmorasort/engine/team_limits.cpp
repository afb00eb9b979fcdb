#include "engine/team_limits.hpp"

#include "engine/portable.hpp"   // windows.h, where it applies

#if defined(_WIN32)
#include <mutex>
#include <thread>
#else
#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#include <unistd.h>
#endif

#include <omp.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "engine/group_sort.hpp"

namespace velmora::engine {
namespace {

// The stack a runtime thread needs for its share of a sort, counted as the
// runtime's stack size counts it: with the thread's descriptor and
// thread-local storage (about 5 KiB of it on Linux). Measured by painting the
// stacks of team members, the deepest of every team kind and list shape:
// - the portable kernel: at most 8 KiB (its recursion is bounded by the radix
//   split's depth, its tables are not on the stack);
// - vqsort: 13 KiB at 8M values (AVX-512, Highway 1.0.3). It recurses up to
//   2 * log2(n) + 4 levels of about 450 bytes before its heapsort takes
//   over: 40 KiB in all at 2^32 values, and newer releases keep up to 8 KiB
//   more on the stack for their base case.
// (MSVC's runtime takes no stack size: nothing to check there.)
[[maybe_unused]] constexpr std::size_t kPortableMemberStack = std::size_t{16} << 10;
[[maybe_unused]] constexpr std::size_t kVectorMemberStack = std::size_t{64} << 10;

// Test builds: the count usable_cpus reports instead of the real one (0: the
// real one).
std::atomic<int> assumed_cpus{0};

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

// What the variables asked for when this module was loaded. GCC's runtime, a
// library this one links, read them just before; LLVM's reads them when its
// first region starts. A variable changed since then no longer reaches it.
const std::size_t stack_asked_at_load = runtime_stack_size();

// The stack a runtime thread gets for `asked` bytes: that, or for 0 the
// system's default for new threads (Linux: the stack limit, ulimit -s).
std::size_t thread_stack(std::size_t asked) noexcept {
    if (asked != 0) return asked;
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) return 0;
    std::size_t size = 0;
    if (pthread_attr_getstacksize(&attr, &size) != 0) size = 0;
    pthread_attr_destroy(&attr);
    return size;
}

constexpr std::size_t kArenaReservation = std::size_t{128} << 20;

// A probe thread: takes what a member's first steps take (thread_start_fits)
// and holds it until every probe has started.
void* wait_at_gate(void* gate) {
    // And the address space of the allocator arena that a runtime thread's
    // first small block makes (glibc reserves up to twice its 64 MiB heap to
    // align it): reserved here and given back, since a probe's own arena
    // would outlive it and take that room from the team's stacks.
    void* const held = std::malloc(kThreadStartHeap);
    void* const arena = mmap(nullptr, kArenaReservation, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    pthread_mutex_lock(static_cast<pthread_mutex_t*>(gate));
    pthread_mutex_unlock(static_cast<pthread_mutex_t*>(gate));
    const bool had = held != nullptr && arena != MAP_FAILED;
    if (arena != MAP_FAILED) munmap(arena, kArenaReservation);
    std::free(held);
    return had ? gate : nullptr;   // null where it could not be had
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
    int started = 0;
    for (const pthread_t thread : threads) {
        void* allocated = nullptr;
        pthread_join(thread, &allocated);
        started += allocated != nullptr;
    }
    pthread_attr_destroy(&attr);
    return started;
}
#endif

// Whether every runtime thread's stack holds a member's share of a sort with
// the kernel in use. The smaller of the sizes asked for at load and now:
// whichever one the runtime read, it is no smaller.
bool member_stack_fits() noexcept {
#if defined(_WIN32)
    return true;   // MSVC's runtime takes no stack size: threads get the process's default (1 MiB or more)
#else
    const std::size_t stack = std::min(thread_stack(stack_asked_at_load), thread_stack(runtime_stack_size()));
    const std::size_t need = vector_kernel_in_use() ? kVectorMemberStack : kPortableMemberStack;
    return stack == 0 || stack >= need;   // 0: not known, as on systems without the query
#endif
}

}  // namespace

int usable_cpus() noexcept {
    const int assumed = assumed_cpus.load(std::memory_order_relaxed);
    if (assumed > 0) return assumed;
#if defined(__linux__)
    // The process's mask, which Linux keeps per thread: the main thread's
    // (the thread group's leader, whose id is the process id) is the one that
    // taskset and a launcher set. Not the calling thread's: teams may be
    // sized on a thread other than the caller, and a thread pinned to one CPU
    // (another library's OpenMP places, a pool) says nothing of what the
    // process may use. The calling thread's only if the leader's cannot be
    // read.
    for (int size = 1024; size <= (1 << 16); size *= 4) {
        cpu_set_t* set = CPU_ALLOC(size);
        if (set == nullptr) return 1;
        const std::size_t bytes = CPU_ALLOC_SIZE(size);
        const bool ok = sched_getaffinity(getpid(), bytes, set) == 0 || sched_getaffinity(0, bytes, set) == 0;
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
    // The calling thread sorts alone on its own stack rather than hand a
    // runtime thread a share that overflows its stack.
    if (team > 1 && !member_stack_fits()) return 1;
    const int missing = team - 1 - pooled_threads;
    if (missing <= 0) return team;
    return pooled_threads + 1 + probe_threads(missing);
}

void note_team_started(int team) noexcept { pooled_threads = team - 1; }

bool thread_start_fits() noexcept {
    void* const block = std::malloc(kThreadStartHeap);
    if (block == nullptr) return false;
    std::free(block);
    return pooled_threads >= 0;   // this module's thread-local data, made now
}

void assume_usable_cpus(int cpus) noexcept { assumed_cpus.store(cpus > 0 ? cpus : 0); }

}  // namespace velmora::engine

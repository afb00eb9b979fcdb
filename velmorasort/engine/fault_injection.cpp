#include "engine/fault_injection.hpp"

#ifdef VELMORASORT_FAULT_INJECTION
#include <atomic>
#include <new>
#include <stdexcept>

namespace velmora::fault {
namespace {
std::atomic<long> countdown{0};
std::atomic<long> passed{0};
std::atomic<int> kind{0};
}  // namespace

void arm(long n, Kind k) noexcept {
    kind.store(static_cast<int>(k));
    passed.store(0);
    countdown.store(n);
}

long sites_passed() noexcept { return passed.load(); }

bool fires() noexcept {
    passed.fetch_add(1);
    // Only the thread that takes the countdown from 1 to 0 fails.
    long left = countdown.load();
    while (left > 0) {
        if (countdown.compare_exchange_weak(left, left - 1)) return left == 1;
    }
    return false;
}

void site() {
    if (!fires()) return;
    switch (static_cast<Kind>(kind.load())) {
        case Kind::bad_alloc: throw std::bad_alloc();
        case Kind::length_error: throw std::length_error("injected length_error");
        case Kind::unknown: throw 42;
    }
}

}  // namespace velmora::fault
#endif

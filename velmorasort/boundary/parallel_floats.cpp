#include "boundary/parallel_floats.hpp"

#include <omp.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <thread>

#include "boundary/region_interpreter.hpp"
#include "engine/fault_injection.hpp"
#include "engine/parallel_region.hpp"
#include "engine/rendezvous.hpp"
#include "engine/team_host.hpp"
#include "engine/team_limits.hpp"

namespace velmora {
namespace {

#ifdef Py_GIL_DISABLED
// Values a member claims at a time, and the fewest values worth a member of
// their own: attaching a thread (which makes its thread state) costs about as
// much as a few hundred floats, and 64K floats take around a millisecond, so
// a straggler's last slice keeps the team waiting little.
constexpr std::size_t kFloatSlice = 65536;
#endif

#ifdef VELMORASORT_FAULT_INJECTION
std::atomic<int> caller_attach_delay_ms{0};
#endif

}  // namespace

#ifdef VELMORASORT_FAULT_INJECTION
void set_caller_attach_delay(int milliseconds) noexcept { caller_attach_delay_ms.store(milliseconds); }
#endif

int float_team(int requested, std::size_t count) noexcept {
#ifdef Py_GIL_DISABLED
    if (requested < 2 || count < 2 * kFloatSlice || interpreter::finalizing()) return 1;
    return engine::team_size(requested, static_cast<std::int64_t>(count / kFloatSlice), count);
#else
    (void)requested;
    (void)count;
    return 1;
#endif
}

#ifdef Py_GIL_DISABLED
namespace {

// The members write each float's pointer over the value it was made from, so
// the values' buffer becomes the list's items in waiting without a buffer of
// its own.
static_assert(sizeof(PyObject*) == sizeof(double), "a float's pointer takes its value's place");

PyObject* made_float(const double* slot) noexcept {
    PyObject* item;
    std::memcpy(&item, slot, sizeof item);
    return item;
}

// Hands a float a member has just made, seen by no other thread yet, to the
// calling thread `owner` as if that thread had made it: its one reference
// becomes the owner's local count. The caller's result list holds it, and the
// caller (or whoever the result goes to) drops it. Left with the member,
// whose thread state is gone by then, every such drop took the shared count
// and the queue of a thread that no longer exists: freeing a result of 10^6
// floats took three times as long as freeing one made on a single thread.
inline void hand_over(PyObject* item, std::uintptr_t owner) noexcept { item->ob_tid = owner; }

// State shared by the team; lives on the calling thread's stack for one call.
struct FloatTeam {
    FloatTeam(double* v, std::size_t n, std::atomic<std::size_t>* m)
        : values(v), count(n), slices((n + kFloatSlice - 1) / kFloatSlice), made(m), owner(_Py_ThreadId()) {}

    double* values;
    std::size_t count;
    std::size_t slices;
    std::atomic<std::size_t>* made;     // per slice: how many of its floats exist
    const std::uintptr_t owner;         // the calling thread, which owns every float made
    std::atomic<std::size_t> next{0};   // the first slice nobody has claimed
    std::atomic<bool> failed{false};
    interpreter::WorkerError error;     // the first failing member's exception
    engine::Rendezvous detached;        // where members meet before the closing barrier
};

// Makes the floats of slice `s` in place on an attached thread. False, with
// the exception set on this thread, when one cannot be made; t.made[s] counts
// the floats made either way.
bool fill_slice(FloatTeam& t, std::size_t s) noexcept {
    if (fault::fires()) {
        PyErr_NoMemory();
        return false;
    }
    const std::size_t begin = s * kFloatSlice, end = std::min(t.count, begin + kFloatSlice);
    std::size_t i = begin;
    bool ok = true;
    for (; i < end; ++i) {
        PyObject* const item = PyFloat_FromDouble(t.values[i]);
        if (item == nullptr) {
            ok = false;
            break;
        }
        hand_over(item, t.owner);
        std::memcpy(&t.values[i], &item, sizeof item);
    }
    t.made[s].store(i - begin, std::memory_order_relaxed);
    return ok;
}

// Claims and fills slices until none is left or a member has failed.
void claim_slices(FloatTeam& t) noexcept {
    while (!t.failed.load(std::memory_order_relaxed)) {
        const std::size_t s = t.next.fetch_add(1);
        if (s >= t.slices) break;
        if (!fill_slice(t, s)) {
            t.failed.store(true);
            t.error.record_from_this_thread();
            break;
        }
    }
}

// What every member does, the host thread included.
void member(FloatTeam& t) noexcept {
#ifdef VELMORASORT_FAULT_INJECTION
    if (omp_get_thread_num() == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(caller_attach_delay_ms.load()));
    }
#endif
    // Attaches this thread with a thread state of its own. On this build
    // attached threads run at once, each allocating from its own heap. During
    // shutdown the thread may not attach (region_interpreter.hpp) and leaves
    // its share to the caller.
    const interpreter::Attachment attachment = interpreter::hold();
    if (attachment.attached) claim_slices(t);
    // Detaches before the members meet. An attached thread waiting there
    // would hold up a stop-the-world pause (another thread's garbage
    // collection), and a member attaching meanwhile waits for that pause to
    // end: neither would go on.
    interpreter::let_go(attachment);
    // The region's closing barrier follows (see rendezvous.hpp).
    t.detached.arrive_and_wait(omp_get_num_threads());
}

// Releases every float the team made; the values' buffer is spent.
void release_made(const FloatTeam& t) noexcept {
    for (std::size_t s = 0; s < t.slices; ++s) {
        const std::size_t begin = s * kFloatSlice, made = t.made[s].load(std::memory_order_relaxed);
        for (std::size_t i = begin; i < begin + made; ++i) Py_DECREF(made_float(&t.values[i]));
    }
}

}  // namespace

PyObject* float_list_in_parallel(std::vector<double>& values, int team) noexcept {
    std::unique_ptr<std::atomic<std::size_t>[]> made(
        new (std::nothrow) std::atomic<std::size_t>[(values.size() + kFloatSlice - 1) / kFloatSlice]());
    if (made == nullptr) return PyErr_NoMemory();
    FloatTeam t(values.data(), values.size(), made.get());
    // Detaches the calling thread while it waits for the team: a thread
    // waiting attached would hold up a stop-the-world pause that a member
    // waits for (see member).
    const interpreter::HeldAside caller = interpreter::release_lock();
    auto job = [&t](int size) noexcept {
        if (size > 1) {
#pragma omp parallel num_threads(size)
            member(t);
        } else {
            member(t);   // a team of one: the same protocol on this thread
        }
    };
    engine::run_team(engine::TeamKind::floats, team, job);
    // Attaches it again for good.
    interpreter::take_lock_back(caller);
    bool failed = t.failed.load();
    if (failed) t.error.raise_on_this_thread();
    // Slices that no member claimed (members skip attaching during shutdown)
    // are made here.
    for (std::size_t s = t.next.load(); s < t.slices && !failed; ++s) failed = !fill_slice(t, s);
    // The list is made only now that every float exists, and filled before
    // this thread next lets anything run (no safepoint lies between): no other
    // thread ever sees one of its slots empty.
    PyObject* const list = failed ? nullptr : PyList_New(static_cast<Py_ssize_t>(t.count));
    if (list == nullptr) {
        release_made(t);
        return nullptr;
    }
    for (std::size_t i = 0; i < t.count; ++i) {
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), made_float(&t.values[i]));
    }
    return list;
}
#endif

}  // namespace velmora

#include "boundary/parallel_floats.hpp"

#include <omp.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "boundary/region_interpreter.hpp"
#include "engine/fault_injection.hpp"
#include "engine/parallel_region.hpp"
#include "engine/rendezvous.hpp"
#include "engine/team_limits.hpp"
#include "engine/team_record.hpp"

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

// State shared by the team; lives on the calling thread's stack for one call.
struct FloatTeam {
    FloatTeam(PyObject* l, const std::vector<double>& v)
        : list(l), values(v), slices((v.size() + kFloatSlice - 1) / kFloatSlice) {}

    PyObject* list;
    const std::vector<double>& values;
    std::size_t slices;
    std::atomic<std::size_t> next{0};   // the first slice nobody has claimed
    std::atomic<bool> failed{false};
    interpreter::WorkerError error;     // the first failing member's exception
    engine::Rendezvous detached;        // where members meet before the closing barrier
};

// Makes the floats of slice `s` on an attached thread. False, with the
// exception set on this thread, when one cannot be made; the slots before it
// hold their floats, the rest stay NULL.
bool fill_slice(FloatTeam& t, std::size_t s) noexcept {
    if (fault::fires()) {
        PyErr_NoMemory();
        return false;
    }
    const std::size_t end = std::min(t.values.size(), (s + 1) * kFloatSlice);
    for (std::size_t i = s * kFloatSlice; i < end; ++i) {
        PyObject* item = PyFloat_FromDouble(t.values[i]);
        if (item == nullptr) return false;
        PyList_SET_ITEM(t.list, static_cast<Py_ssize_t>(i), item);
    }
    return true;
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

// What every member does, the calling thread included.
void member(FloatTeam& t) noexcept {
#ifdef VELMORASORT_FAULT_INJECTION
    if (omp_get_thread_num() == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(caller_attach_delay_ms.load()));
    }
#endif
    // Attaches this thread: its own thread state for the calling thread, a new
    // one for a runtime thread. On this build attached threads run at once,
    // each allocating from its own heap. During shutdown the thread may not
    // attach (region_interpreter.hpp) and leaves its share to the caller.
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

}  // namespace

bool fill_floats_in_parallel(PyObject* list, const std::vector<double>& values, int team) noexcept {
    FloatTeam t(list, values);
    // Tried again now that the list is allocated (see team_limits.hpp); the
    // members' protocol works for a team of one as well.
    team = engine::startable_team(team);
    // Detaches the calling thread for the whole region; it attaches again as
    // a member like the others (see member for why none waits attached).
    const interpreter::HeldAside caller = interpreter::release_lock();
    engine::note_region_used();
#pragma omp parallel num_threads(team)
    member(t);
    engine::note_team_started(team);
    engine::record_team(engine::TeamKind::floats, team);
    // Attaches it again for good.
    interpreter::take_lock_back(caller);
    if (t.failed.load()) {
        t.error.raise_on_this_thread();
        return false;
    }
    // Slices that no member claimed (members skip attaching during shutdown)
    // are made here.
    for (std::size_t s = t.next.load(); s < t.slices; ++s) {
        if (!fill_slice(t, s)) return false;
    }
    return true;
}
#endif

}  // namespace velmora

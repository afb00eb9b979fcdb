#include "boundary/piece_floats.hpp"

#include <cstring>

#include "boundary/errors.hpp"
#include "boundary/region_interpreter.hpp"
#include "engine/fault_injection.hpp"
#include "engine/piece_sort.hpp"

namespace velmora {
namespace {

// The lock let go for a wait that needs no interpreter; taken back at the end
// of the scope (the thread parks there if the interpreter is shutting down).
class LockAside {
  public:
    LockAside() noexcept : held_(interpreter::release_lock()) {}
    ~LockAside() { interpreter::take_lock_back(held_); }
    LockAside(const LockAside&) = delete;
    LockAside& operator=(const LockAside&) = delete;

  private:
    interpreter::HeldAside held_;
};

// The slots of the list, whose storage doubles as the team's scratch where a
// pointer is as large as a double: the split scatters the values there, and
// piece k's range of it is free again once piece k is sorted, just when its
// floats go there. No buffer is added to the sort's own.
class Slots {
  public:
    Slots(PyObject* list, std::size_t count) : items_(reinterpret_cast<PyListObject*>(list)->ob_item) {
        if (sizeof(PyObject*) == sizeof(double)) {
            scratch_ = reinterpret_cast<double*>(items_);
        } else {
            fault::site();
            own_.resize(count);
            scratch_ = own_.data();
        }
    }

    double* scratch() noexcept { return scratch_; }
    // The value the scratch holds at `i`, read before the slot is set.
    double scratch_value(std::size_t i) const noexcept {
        double v;
        std::memcpy(&v, scratch_ + i, sizeof v);
        return v;
    }
    void set(std::size_t i, PyObject* item) noexcept { items_[i] = item; }
    // Slots [from, count) back to NULL, for the list's deallocation.
    void clear_from(std::size_t from, std::size_t count) noexcept {
        std::memset(static_cast<void*>(items_ + from), 0, (count - from) * sizeof(PyObject*));
    }

  private:
    PyObject** items_;
    double* scratch_;
    std::vector<double> own_;
};

// Stops the team and empties the unfilled slots when the filling fails.
class FillGuard {
  public:
    FillGuard(engine::PieceSort& sort, Slots& slots, const std::size_t& filled, std::size_t count) noexcept
        : sort_(sort), slots_(slots), filled_(filled), count_(count) {}
    ~FillGuard() {
        if (done_) return;
        sort_.stop();
        {
            // The team may still be sorting into the slots: the lock is let
            // go while it winds down.
            const LockAside aside;
            sort_.finish();
        }
        slots_.clear_from(filled_, count_);
    }
    void done() noexcept { done_ = true; }

  private:
    engine::PieceSort& sort_;
    Slots& slots_;
    const std::size_t& filled_;
    const std::size_t count_;
    bool done_ = false;
};

// Test builds fail here as a float's allocation would: once a piece.
void injected_failure() {
    if (fault::fires()) {
        PyErr_NoMemory();
        throw PythonError{};
    }
}

PyObject* new_float(double v) { return check(PyFloat_FromDouble(v)); }

// About the interpreter's default switch interval (5 ms) of float making, at
// some 20 ns a float.
constexpr std::size_t kFloatsBetweenReleases = std::size_t{1} << 18;

}  // namespace

void fill_floats(OwnedRef& list, std::vector<double>& values, engine::PieceJob& job) {
    const std::size_t count = values.size();
    // Out of every other thread's sight (a walk of the collector's objects
    // included) while slots hold values or nothing.
    PyObject_GC_UnTrack(list.get());
    Slots slots(list.get(), count);
    engine::PieceSort sort(values.data(), count, job.nans, slots.scratch(), job.team);
    std::size_t filled = 0;
    FillGuard guard(sort, slots, filled, count);
    {
        // Released while this thread splits the values with the team: no
        // step of it calls the interpreter.
        const LockAside aside;
        sort.start();
        sort.split();
    }
    const std::size_t pieces = sort.pieces();
    std::size_t made_at_last_release = 0;
    bool zeros_placed = !job.zeros;
    for (std::size_t k = 0; k < pieces; ++k) {
        const std::size_t end = sort.piece_begin(k + 1);
        if (!sort.ready(k)) {
            // Released while this thread waits for the piece or sorts it.
            const LockAside aside;
            sort.make_ready(k);
        }
        if (!zeros_placed && job.zeros->begin() < end) {
            // The zeros' group goes over its range once every piece of it is sorted.
            {
                const LockAside aside;
                for (std::size_t j = k + 1; j < pieces && sort.piece_begin(j) < job.zeros->end(); ++j) {
                    sort.make_ready(j);
                }
            }
            job.zeros->copy_over(values.data());
            zeros_placed = true;
        }
        injected_failure();
        for (; filled < end; ++filled) slots.set(filled, new_float(values[filled]));
        // Lets the lock go between pieces once this many floats were made
        // since it last did: a thread that has waited for it past the
        // interpreter's switch interval has asked for it by then and takes
        // it now. Letting it go more often would hand it over less: each
        // time a waiter's wait for it starts again.
        if (filled - made_at_last_release >= kFloatsBetweenReleases && k + 1 < pieces) {
            const LockAside aside;
            made_at_last_release = filled;
        }
    }
    for (; filled < count; ++filled) slots.set(filled, new_float(slots.scratch_value(filled)));
    {
        // Every piece is sorted: the team is at its end, if not past it.
        const LockAside aside;
        sort.finish();
    }
    guard.done();
    PyObject_GC_Track(list.get());
}

}  // namespace velmora

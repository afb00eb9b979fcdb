// Native-failure translation and traceback entries.
#pragma once

#include <Python.h>

#include <exception>

#include "boundary/refs.hpp"
#include "engine/sorter_status.hpp"
#include "engine/source_place.hpp"

namespace velmora {

// Qualified names that failing functions put in traceback entries.
constexpr const char* kSortQualname = "velmorasort.VelmoraSort.sort";
constexpr const char* kSupersortQualname = "velmorasort.VelmoraSort.supersort";
constexpr const char* kSorterQualname = "velmorasort.VelmoraSort.sort_internal";
constexpr const char* kInitQualname = "init velmorasort.VelmoraSort";
constexpr const char* kListToVectorQualname = "velmorasort.VelmoraSort.list_to_vector";
constexpr const char* kVectorToListQualname = "velmorasort.VelmoraSort.vector_to_list";

// Call only from inside a catch handler, with the interpreter lock held.
// Leaves an already pending Python exception alone; otherwise sets the Python
// exception that matches the active native one (std::bad_alloc gives
// MemoryError, and so on; anything else RuntimeError).
void translate_native_failure() noexcept;

// With the interpreter lock held: sets the Python exception that matches the
// native one the group sorter stopped at, with sort_internal's traceback
// entry at the sorter's statement. `status` must hold a failure.
void raise_sorter_failure(const engine::SorterStatus& status) noexcept;

// Adds a traceback entry for `qualname` at `place` to the pending exception.
// If the entry cannot be made, the error raised in making it takes the
// pending exception's place.
void add_traceback(const char* qualname, SourcePlace place) noexcept;

// The statement a failing body was at, for its traceback entry. Every
// statement that can fail runs as a step, which records the caller's line.
class Steps {
  public:
    explicit Steps(SourcePlace start) noexcept : place_(start) {}

    // Runs `statement` (which reports failure by throwing) as the step at the
    // caller's line.
    template <typename Statement>
    auto operator()(Statement statement, int line = __builtin_LINE()) -> decltype(statement()) {
        place_.line = line;
        return statement();
    }
    // The step at the caller's line failed; its exception is already set.
    [[noreturn]] void fail(int line = __builtin_LINE()) {
        place_.line = line;
        throw PythonError{};
    }
    // The step run last failed without throwing (it returned a status); its
    // exception is already set.
    [[noreturn]] void fail_last() { throw PythonError{}; }
    // The same, for a call that sets the exception and returns NULL:
    // step.fail(PyErr_NoMemory()).
    [[noreturn]] void fail(PyObject*, int line = __builtin_LINE()) { fail(line); }
    [[noreturn]] void raise(PyObject* type, const char* message, int line = __builtin_LINE()) {
        PyErr_SetString(type, message);
        fail(line);
    }
    SourcePlace place() const noexcept { return place_; }

  private:
    SourcePlace place_;
};

// Runs `body(steps)`, which reports failure by throwing: PythonError
// (exception set) or any native exception (translated here). On failure adds
// the traceback entry of `qualname` at the step the body was at, in the file
// of the call, and throws PythonError. A thread the interpreter ends at
// shutdown unwinds through.
template <typename Body>
auto with_traceback_entry(const char* qualname, Body body, SourcePlace start = SourcePlace::here())
    -> decltype(body(std::declval<Steps&>())) {
    Steps steps(start);
    try {
        return body(steps);
    } catch (const PythonError&) {
    } catch (...) {
        // The interpreter ends a thread at shutdown by a foreign unwind,
        // which no exception_ptr can hold: let it go on.
        if (!std::current_exception()) throw;
        translate_native_failure();
    }
    add_traceback(qualname, steps.place());
    throw PythonError{};
}

}  // namespace velmora

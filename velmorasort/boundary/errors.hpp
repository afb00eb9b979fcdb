// Native-failure translation and traceback entries.
#pragma once

#include <Python.h>

#include <cxxabi.h>

#include "boundary/refs.hpp"

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

// Adds a traceback entry for `qualname` at `line` of the module's source to
// the pending exception. If the entry cannot be made, the error raised in
// making it takes the pending exception's place.
void add_traceback(const char* qualname, int line) noexcept;

// Runs `body`, which reports failure by throwing: PythonError (exception set)
// or any native exception (translated here). On failure adds the traceback
// entry of `qualname` at the line `line` holds by then, and throws
// PythonError. A thread the interpreter ends at shutdown unwinds through.
template <typename Body>
auto with_traceback_entry(const char* qualname, const int& line, Body body) -> decltype(body()) {
    try {
        return body();
    } catch (const PythonError&) {
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        translate_native_failure();
    }
    add_traceback(qualname, line);
    throw PythonError{};
}

}  // namespace velmora

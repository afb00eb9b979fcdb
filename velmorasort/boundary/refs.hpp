// Owned and borrowed reference holders, and the one C++ exception that means
// "a Python exception is already set".
#pragma once

#include <Python.h>

#include <utility>

#include "boundary/compat.hpp"

namespace velmora {

// Thrown by boundary helpers after they set a Python exception. Each entry
// point catches it and returns NULL. The test build stops the process when
// one is thrown with no exception set: that would be a failure the caller
// could not tell from success.
struct PythonError {
#ifdef VELMORASORT_FAULT_INJECTION
    PythonError() {
        if (!PyErr_Occurred()) Py_FatalError("velmorasort: failure reported without an exception");
    }
#endif
};

// Throws PythonError when a C API call signalled failure by returning NULL.
template <typename T>
inline T* check(T* result) {
    if (result == nullptr) throw PythonError{};
    return result;
}

// Owns one strong reference (or none) and releases it when destroyed.
class OwnedRef {
  public:
    OwnedRef() noexcept = default;
    // Takes over a new reference, which may be NULL.
    static OwnedRef steal(PyObject* obj) noexcept { return OwnedRef(obj); }
    // Adds a reference to a borrowed object.
    static OwnedRef borrow(PyObject* obj) noexcept {
        Py_XINCREF(obj);
        return OwnedRef(obj);
    }
    // Takes over a new reference, throwing PythonError when it is NULL.
    static OwnedRef checked(PyObject* obj) { return OwnedRef(check(obj)); }

    OwnedRef(const OwnedRef&) = delete;
    OwnedRef& operator=(const OwnedRef&) = delete;
    OwnedRef(OwnedRef&& other) noexcept : obj_(other.release()) {}
    OwnedRef& operator=(OwnedRef&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    // A thread the interpreter ends at shutdown unwinds without the lock:
    // then the reference is left to the exiting process.
    ~OwnedRef() {
        if (obj_ != nullptr && PyGILState_Check()) Py_DECREF(obj_);
    }

    PyObject* get() const noexcept { return obj_; }
    explicit operator bool() const noexcept { return obj_ != nullptr; }
    // Hands the reference to the caller.
    PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
    void reset(PyObject* obj = nullptr) noexcept {
        PyObject* old = std::exchange(obj_, obj);
        Py_XDECREF(old);
    }

  private:
    explicit OwnedRef(PyObject* obj) noexcept : obj_(obj) {}
    PyObject* obj_ = nullptr;
};

}  // namespace velmora

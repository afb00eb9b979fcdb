#include "measuring_sticks.hpp"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <new>

#include "engine/portable.hpp"
#include "engine/radix_sort.hpp"
#include "engine/vector_sort.hpp"

namespace velmora::sticks {
namespace {

// The sorting module's read fetches this far ahead too.
constexpr Py_ssize_t kPrefetchDistance = 32;

// The length of the list `arg`; -1 with an exception where it is no list.
Py_ssize_t list_length(PyObject* arg) {
    if (PyList_CheckExact(arg)) return PyList_GET_SIZE(arg);
    PyErr_SetString(PyExc_TypeError, "a list of floats is required");
    return -1;
}

// Reads the elements of the list `arg`, at most `room`, through
// `store(i, value)`, and their count into `n`; false with an exception where
// it holds other than exact floats.
template <typename Store>
bool read_floats(PyObject* arg, Py_ssize_t room, Py_ssize_t& n, Store store) {
    bool exact = true;
#ifdef Py_GIL_DISABLED
    // Another thread may resize the list: the length is read again in here.
    Py_BEGIN_CRITICAL_SECTION(arg);
#endif
    n = std::min(PyList_GET_SIZE(arg), room);
    PyObject* const* items = reinterpret_cast<PyListObject*>(arg)->ob_item;
    for (Py_ssize_t i = 0; i < n && exact; ++i) {
        if (i + kPrefetchDistance < n) portable::prefetch(items[i + kPrefetchDistance]);
        exact = PyFloat_CheckExact(items[i]);
        if (exact) store(i, PyFloat_AS_DOUBLE(items[i]));
    }
#ifdef Py_GIL_DISABLED
    Py_END_CRITICAL_SECTION();
#endif
    if (!exact) PyErr_SetString(PyExc_TypeError, "only exact floats are measured");
    return exact;
}

// A new list of n floats, the i-th made by `make(i)`; NULL with an exception.
template <typename Make>
PyObject* make_floats(Py_ssize_t n, Make make) {
    PyObject* list = PyList_New(n);
    if (list == nullptr) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* value = PyFloat_FromDouble(make(i));
        if (value == nullptr) {
            Py_DECREF(list);   // slots not filled are NULL, which the list's release skips
            return nullptr;
        }
        PyList_SET_ITEM(list, i, value);
    }
    return list;
}

}  // namespace

PyObject* floor(PyObject*, PyObject* arg) {
    const Py_ssize_t room = list_length(arg);
    if (room < 0) return nullptr;
    try {
        // No initialisation: every value is written before it is read.
        const std::unique_ptr<double[]> values(new double[static_cast<std::size_t>(room)]);
        Py_ssize_t n = 0;
        if (!read_floats(arg, room, n, [&](Py_ssize_t i, double v) { values[i] = v; })) return nullptr;
        return make_floats(n, [&](Py_ssize_t i) { return values[i]; });
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

PyObject* fused(PyObject*, PyObject* arg) {
    const Py_ssize_t room = list_length(arg);
    if (room < 0) return nullptr;
    try {
        const std::unique_ptr<std::uint64_t[]> keys(new std::uint64_t[static_cast<std::size_t>(room)]);
        Py_ssize_t n = 0;
        if (!read_floats(arg, room, n, [&](Py_ssize_t i, double v) { keys[i] = engine::order_key(v); })) {
            return nullptr;
        }
        if (engine::vector_sort_built()) {
            engine::vector_sort_keys(keys.get(), static_cast<std::size_t>(n));
        } else {
            std::sort(keys.get(), keys.get() + n);
        }
        return make_floats(n, [&](Py_ssize_t i) { return engine::from_order_key(keys[i]); });
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

}  // namespace velmora::sticks

#include "boundary/conversions.hpp"

#include "boundary/critical_section.hpp"
#include "boundary/errors.hpp"
#include "engine/fault_injection.hpp"

namespace velmora {
namespace {

// Reads one element; -1.0 with an exception pending is a failure.
inline double element_as_double(PyObject* item) {
    if (PyFloat_CheckExact(item)) return PyFloat_AS_DOUBLE(item);
    // __float__ runs Python code that may drop the container's reference to
    // the item: hold our own while it runs.
    OwnedRef held = OwnedRef::borrow(item);
    const double v = PyFloat_AsDouble(held.get());
    if (v == -1.0 && PyErr_Occurred()) throw PythonError{};
    return v;
}

void append(std::vector<double>& out, double v) {
    fault::site();
    out.push_back(v);
}

constexpr Py_ssize_t kPrefetchDistance = 32;

void convert_sequence(PyObject* obj, std::vector<double>& out) {
    // Free-threaded builds: no other thread resizes the list between our
    // reads of its length and of its slots (see critical_section.hpp).
    const CriticalSection on_list(obj);
    const bool is_list = PyList_CheckExact(obj);
    for (Py_ssize_t i = 0;; ++i) {
        const Py_ssize_t size = is_list ? PyList_GET_SIZE(obj) : PyTuple_GET_SIZE(obj);
        if (i >= size) return;
        PyObject* const* items = is_list ? reinterpret_cast<PyListObject*>(obj)->ob_item
                                         : reinterpret_cast<PyTupleObject*>(obj)->ob_item;
        // Elements of a big list are scattered over the heap: fetch ahead.
        if (i + kPrefetchDistance < size) __builtin_prefetch(items[i + kPrefetchDistance]);
        PyObject* item = items[i];
        append(out, element_as_double(item));
    }
}

void convert_iterable(PyObject* obj, std::vector<double>& out) {
    OwnedRef iterator = OwnedRef::checked(PyObject_GetIter(obj));
    for (;;) {
        OwnedRef item = OwnedRef::steal(PyIter_Next(iterator.get()));
        if (!item) {
            if (!PyErr_Occurred()) return;
            if (!PyErr_ExceptionMatches(PyExc_StopIteration)) throw PythonError{};
            PyErr_Clear();
            return;
        }
        append(out, element_as_double(item.get()));
    }
}

}  // namespace

std::vector<double> list_to_vector(PyObject* obj) {
    const int line = __LINE__;
    return with_traceback_entry(kListToVectorQualname, line, [obj] {
        std::vector<double> out;
        if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) {
            // Room for the length as it stands now; a list that grows during
            // the walk still grows the vector as needed.
            fault::site();
            out.reserve(static_cast<std::size_t>(PyList_CheckExact(obj) ? PyList_GET_SIZE(obj)
                                                                       : PyTuple_GET_SIZE(obj)));
            convert_sequence(obj, out);
        } else {
            convert_iterable(obj, out);
        }
        return out;
    });
}

OwnedRef vector_to_list(const std::vector<double>& values) {
    const std::size_t count = values.size();
    OwnedRef list;
    if (count > static_cast<std::size_t>(PY_SSIZE_T_MAX)) {
        PyErr_NoMemory();
    } else if (fault::fires()) {
        PyErr_NoMemory();
    } else {
        list = OwnedRef::steal(PyList_New(static_cast<Py_ssize_t>(count)));
    }
    if (list) {
        for (std::size_t i = 0; i < count; ++i) {
            PyObject* item = PyFloat_FromDouble(values[i]);
            if (item == nullptr) {
                list.reset();
                break;
            }
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
        }
    }
    if (list) return list;
    add_traceback(kVectorToListQualname, __LINE__);
    throw PythonError{};
}

}  // namespace velmora

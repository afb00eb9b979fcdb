#include "boundary/conversions.hpp"

#include "boundary/critical_section.hpp"
#include "boundary/errors.hpp"
#include "boundary/parallel_floats.hpp"
#include "boundary/piece_floats.hpp"
#include "boundary/recursion_guard.hpp"
#include "boundary/team_reading.hpp"
#include "engine/fault_injection.hpp"
#include "engine/portable.hpp"
#include "engine/radix_sort.hpp"

namespace velmora {
namespace {

// One element as a double; throws PythonError when it has none. Sets
// `ran_code` where the conversion may have run Python code, and calls
// `before_code()` first when it was not set yet.
template <typename BeforeCode>
inline double element_as_double(PyObject* item, bool& ran_code, BeforeCode before_code) {
    if (PyFloat_CheckExact(item)) return PyFloat_AS_DOUBLE(item);
    double v;
    if (PyLong_CheckExact(item)) {
        // What int.__float__ does, without Python code.
        v = PyLong_AsDouble(item);
    } else {
        // __float__ runs Python code that may drop the list's reference to
        // the item: hold our own while it runs. It may also sort again.
        // (Not an OwnedRef: this is the conversion's hot path.)
        if (!ran_code) before_code();
        ran_code = true;
        const PythonCallGuard guard;
        Py_INCREF(item);
        v = PyFloat_AsDouble(item);
        Py_DECREF(item);
    }
    if (v == -1.0 && PyErr_Occurred()) throw PythonError{};
    return v;
}

inline void append(std::vector<double>& out, double v) {
    fault::site();
    out.push_back(v);
}

constexpr Py_ssize_t kPrefetchDistance = 32;

}  // namespace

std::vector<double> list_to_vector(PyObject* list, int team, bool* ran_code, ReadElements* elements,
                                   KeyRead* by_keys) {
    return with_traceback_entry(kListToVectorQualname, [list, team, ran_code, elements, by_keys](Steps& step) {
        bool ran = false;
        std::vector<double> out;
        const std::size_t length = static_cast<std::size_t>(PyList_GET_SIZE(list));
        // Room for the length as it stands now; a list that grows during the
        // walk still grows the vector as needed.
        if (by_keys == nullptr) {
            step([&] { fault::site(); out.reserve(length); });
        } else {
            step([&] { fault::site(); by_keys->keys.reset(new std::uint64_t[length]); });
        }
        // Free-threaded builds: no other thread resizes the list between our
        // reads of its length and of its slots (see critical_section.hpp).
        const CriticalSection on_list(list);
        Py_ssize_t i = 0;
        const auto watch_first = [&] {
            if (elements != nullptr) elements->before_element(list, out);
        };
        if (by_keys != nullptr) {
            const std::size_t read = read_exact_floats_as_keys(list, length, *by_keys);
            if (read == static_cast<std::size_t>(PyList_GET_SIZE(list)) &&
                by_keys->facts.keys_decide(by_keys->keys.get(), read)) {
                // No Python code ran, and none follows before the sort.
                by_keys->taken = true;
                if (ran_code != nullptr) *ran_code = false;
                return out;
            }
            // The values read so far go on as doubles, and the walk as ever.
            step([&] { fault::site(); out.reserve(static_cast<std::size_t>(PyList_GET_SIZE(list))); });
            step([&] {
                for (std::size_t k = 0; k < read; ++k) append(out, engine::from_order_key(by_keys->keys[k]));
            });
            by_keys->keys.reset();
            by_keys->count = 0;
            i = static_cast<Py_ssize_t>(read);
        }
        if (team > 1) {
            // Within the capacity reserved above unless another thread grew
            // the list before the critical section began.
            step([&] { fault::site(); out.resize(static_cast<std::size_t>(PyList_GET_SIZE(list))); });
            out.resize(read_exact_floats_on_team(list, out.data(), team));
            i = static_cast<Py_ssize_t>(out.size());
        }
        for (; i < PyList_GET_SIZE(list); ++i) {
            PyObject* const* items = reinterpret_cast<PyListObject*>(list)->ob_item;
            // Elements of a big list are scattered over the heap: fetch ahead.
            if (i + kPrefetchDistance < PyList_GET_SIZE(list)) portable::prefetch(items[i + kPrefetchDistance]);
            // Once Python code has run, every element read may be one the list
            // no longer holds: the elements' keeper sees each.
            if (ran && elements != nullptr) step([&] { elements->before_element(list, out); });
            const double v = step([&] { return element_as_double(items[i], ran, watch_first); });
            step([&] { append(out, v); });
        }
        if (elements != nullptr) step([&] { elements->end_of_read(list, out); });
        if (ran_code != nullptr) *ran_code = ran;
        return out;
    });
}

namespace {

// Fills `list`, a new list of values.size() NULL slots, with new floats of
// `values`, here and before anything else runs on this thread, so that no
// other thread sees an empty slot; or, for a team of two or more, has the
// team make the floats and then the list (parallel_floats.hpp). Throws
// PythonError; slots not filled stay NULL. Values of a piece job are sorted
// meanwhile (piece_floats.hpp).
void fill_floats(OwnedRef& list, std::vector<double>& values, int team, engine::PieceJob* pieces) {
    if (pieces != nullptr) {
        fill_floats(list, values, *pieces);
        return;
    }
#ifdef Py_GIL_DISABLED
    if (team > 1) {
        list = OwnedRef::checked(float_list_in_parallel(values, team));
        return;
    }
#else
    (void)team;
#endif
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), check(PyFloat_FromDouble(values[i])));
    }
}

// Fills `list`, a new list of `count` NULL slots, with a new float of each
// key, before anything else runs on this thread, so that no other thread sees
// an empty slot. Throws PythonError; slots not filled stay NULL.
void fill_floats_from_keys(PyObject* const list, const std::uint64_t* keys, std::size_t count) {
    // `list` in a register, not reloaded after every call.
    for (std::size_t i = 0; i < count; ++i) {
        PyObject* const value = check(PyFloat_FromDouble(engine::from_order_key(keys[i])));
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), value);
    }
}

}  // namespace

OwnedRef vector_to_list(std::vector<double>& values, int requested_team, engine::PieceJob* pieces) {
    return with_traceback_entry(kVectorToListQualname, [&values, requested_team, pieces](Steps& step) {
        const std::size_t count = values.size();
        if (count > static_cast<std::size_t>(PY_SSIZE_T_MAX) || fault::fires()) step.fail(PyErr_NoMemory());
        const int team = pieces != nullptr ? 1 : float_team(requested_team, count);
        OwnedRef list;
        if (team < 2) list = step([&] { return OwnedRef::checked(PyList_New(static_cast<Py_ssize_t>(count))); });
        // One step for the serial and the parallel filling: a failure names
        // this line either way.
        step([&] { fill_floats(list, values, team, pieces); });
        return list;
    });
}

OwnedRef keys_to_list(const std::uint64_t* keys, std::size_t count) {
    return with_traceback_entry(kVectorToListQualname, [keys, count](Steps& step) {
        if (count > static_cast<std::size_t>(PY_SSIZE_T_MAX) || fault::fires()) step.fail(PyErr_NoMemory());
        OwnedRef list = step([&] { return OwnedRef::checked(PyList_New(static_cast<Py_ssize_t>(count))); });
        step([&] { fill_floats_from_keys(list.get(), keys, count); });
        return list;
    });
}

}  // namespace velmora

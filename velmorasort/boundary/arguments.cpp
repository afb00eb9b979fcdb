#include "boundary/arguments.hpp"

#include <climits>

#include "boundary/errors.hpp"
#include "boundary/module_state.hpp"
#include "boundary/refs.hpp"

namespace velmora {
namespace {

// 1 when the names are equal strings, 0 when not, -1 with an exception when
// comparing them raised. Lengths are compared before characters.
int names_equal(PyObject* parameter, PyObject* key) {
    if (PyUnicode_Check(key)) {
        if (PyUnicode_GET_LENGTH(parameter) != PyUnicode_GET_LENGTH(key)) return 0;
        const int cmp = PyUnicode_Compare(parameter, key);
        if (cmp == -1 && PyErr_Occurred()) return -1;
        return cmp == 0;
    }
    return PyObject_RichCompareBool(parameter, key, Py_EQ);
}

// Index of the keyword that binds `parameter`, -1 if none, -2 with an
// exception if a comparison raised. Identity first, then equality.
Py_ssize_t find_keyword(PyObject* kwnames, PyObject* parameter) {
    const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < count; ++k) {
        if (PyTuple_GET_ITEM(kwnames, k) == parameter) return k;
    }
    for (Py_ssize_t k = 0; k < count; ++k) {
        const int eq = names_equal(parameter, PyTuple_GET_ITEM(kwnames, k));
        if (eq < 0) return -2;
        if (eq) return k;
    }
    return -1;
}

void raise_positional_count(const Signature& sig, Py_ssize_t nargs) {
    const bool fixed = sig.required_count == sig.parameter_count;
    const bool too_many = nargs > sig.parameter_count;
    const char* word = fixed ? "exactly" : (too_many ? "at most" : "at least");
    const Py_ssize_t expected = too_many ? sig.parameter_count : sig.required_count;
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 sig.name, word, expected, expected == 1 ? "" : "s", nargs);
}

[[noreturn]] void fail_binding(const Signature& sig) {
    add_traceback(sig.qualname, {kSourcePath, sig.definition_line});
    throw PythonError{};
}

int long_as_c_int(PyObject* obj) {
    const long value = PyLong_AsLong(obj);
    if (value == -1 && PyErr_Occurred()) return -1;
    if (value < INT_MIN || value > INT_MAX) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
        return -1;
    }
    return static_cast<int>(value);
}

// Keyword check: stores each keyword's value into the slot of the parameter
// it names (from position `positional` on). Returns 0, or -1 with a TypeError
// for a keyword that is not a string, names a positionally bound parameter, or
// names none. A raising name comparison fails it with that exception.
int check_keywords(PyObject* kwnames, PyObject* const* kwvalues, PyObject* const* parameter_names,
                   Py_ssize_t parameter_count, PyObject** values, Py_ssize_t positional,
                   const char* function_name) {
    const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < count; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        PyObject* value = kwvalues[k];
        Py_ssize_t slot = -1;
        for (Py_ssize_t p = positional; p < parameter_count && slot < 0; ++p) {
            if (parameter_names[p] == key) slot = p;
        }
        if (slot < 0 && !PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", function_name);
            return -1;
        }
        for (Py_ssize_t p = positional; p < parameter_count && slot < 0; ++p) {
            const int eq = names_equal(parameter_names[p], key);
            if (eq < 0) return -1;
            if (eq) slot = p;
        }
        if (slot >= 0) {
            values[slot] = value;
            continue;
        }
        for (Py_ssize_t p = 0; p < positional; ++p) {
            int eq = parameter_names[p] == key;
            if (!eq) eq = names_equal(parameter_names[p], key);
            if (eq < 0) return -1;
            if (eq) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                             function_name, key);
                return -1;
            }
        }
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                     function_name, key);
        return -1;
    }
    return 0;
}

}  // namespace


void bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** values) {
    if (nargs > sig.parameter_count) {
        raise_positional_count(sig, nargs);
        fail_binding(sig);
    }
    for (Py_ssize_t p = 0; p < sig.parameter_count; ++p) values[p] = p < nargs ? args[p] : nullptr;
    const Py_ssize_t keyword_count = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (keyword_count == 0) {
        if (nargs < sig.required_count) {
            raise_positional_count(sig, nargs);
            fail_binding(sig);
        }
        return;
    }
    PyObject* const* kwvalues = args + nargs;
    Py_ssize_t matched = 0;
    for (Py_ssize_t p = nargs; p < sig.parameter_count; ++p) {
        const Py_ssize_t k = find_keyword(kwnames, sig.parameter_names[p]);
        if (k == -2) fail_binding(sig);
        if (k >= 0) {
            values[p] = kwvalues[k];
            ++matched;
        } else if (p < sig.required_count) {
            raise_positional_count(sig, nargs);
            fail_binding(sig);
        }
    }
    if (matched < keyword_count &&
        check_keywords(kwnames, kwvalues, sig.parameter_names, sig.parameter_count, values, nargs,
                       sig.name) < 0) {
        fail_binding(sig);
    }
}

int as_c_int(PyObject* obj) {
    if (PyLong_Check(obj)) return long_as_c_int(obj);
    PyNumberMethods* number = Py_TYPE(obj)->tp_as_number;
    OwnedRef result;
    if (number != nullptr && number->nb_int != nullptr) result = OwnedRef::steal(number->nb_int(obj));
    if (!result) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "an integer is required");
        return -1;
    }
    if (!PyLong_CheckExact(result.get())) {
        if (!PyLong_Check(result.get())) {
            PyErr_Format(PyExc_TypeError, "__%.4s__ returned non-%.4s (type %.200s)", "int", "int",
                         Py_TYPE(result.get())->tp_name);
            return -1;
        }
        if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                             "__int__ returned non-int (type %.200s).  The ability to return an "
                             "instance of a strict subclass of int is deprecated, and may be "
                             "removed in a future version of Python.",
                             Py_TYPE(result.get())->tp_name) < 0) {
            return -1;
        }
    }
    return long_as_c_int(result.get());
}

void require_list_or_none(PyObject* obj, const char* parameter_name) {
    if (obj == Py_None || Py_TYPE(obj) == &PyList_Type) return;
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 parameter_name, "list", Py_TYPE(obj)->tp_name);
    throw PythonError{};
}

}  // namespace velmora

#include "boundary/globals.hpp"

#include "boundary/module_state.hpp"
#include "boundary/recursion_guard.hpp"

namespace velmora {

OwnedRef builtin_lookup(PyObject* name) {
    OwnedRef found = OwnedRef::steal(PyObject_GetAttr(state().builtins, name));
    if (!found) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
        }
        throw PythonError{};
    }
    return found;
}

OwnedRef module_global_lookup(PyObject* name) {
    // No cache: the outcome is always that of a fresh lookup.
#ifdef Py_GIL_DISABLED
    // Another thread may replace the global at any moment: take the
    // reference in the same step as the lookup.
    PyObject* found = nullptr;
    if (PyDict_GetItemRef(state().globals, name, &found) < 0) throw PythonError{};
    if (found != nullptr) return OwnedRef::steal(found);
#else
    PyObject* found = PyDict_GetItemWithError(state().globals, name);
    if (found != nullptr) return OwnedRef::borrow(found);
    if (PyErr_Occurred()) throw PythonError{};
#endif
    return builtin_lookup(name);
}

OwnedRef call_object(PyObject* callable, PyObject* arg) {
    OwnedRef function = OwnedRef::borrow(callable);
    OwnedRef self;
    if (PyMethod_Check(callable) && PyMethod_GET_SELF(callable) != nullptr) {
        function = OwnedRef::borrow(PyMethod_GET_FUNCTION(callable));
        self = OwnedRef::borrow(PyMethod_GET_SELF(callable));
    }
    PyObject* items[2];
    Py_ssize_t count = 0;
    if (self) items[count++] = self.get();
    if (arg != nullptr) items[count++] = arg;
    OwnedRef args = OwnedRef::checked(PyTuple_New(count));
    for (Py_ssize_t i = 0; i < count; ++i) PyTuple_SET_ITEM(args.get(), i, Py_NewRef(items[i]));

    OwnedRef result;
    {
        const PythonCallGuard guard;
        result = OwnedRef::steal(PyObject_Call(function.get(), args.get(), nullptr));
    }
    if (!result) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "NULL result without error in PyObject_Call");
        }
        throw PythonError{};
    }
    return result;
}

}  // namespace velmora

// C API pieces that older supported interpreters lack.
#pragma once

#include <Python.h>

#if PY_VERSION_HEX < 0x030A0000
static inline PyObject* Py_NewRef(PyObject* obj) {
    Py_INCREF(obj);
    return obj;
}
#endif

// The pending exception taken off the thread (all NULL when none), and put
// back, in the three-part form. From 3.12 on the exception object alone is
// the state (it carries its traceback), and the three-part calls are
// deprecated there.
static inline void fetch_exception(PyObject** type, PyObject** value, PyObject** traceback) {
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* exc = PyErr_GetRaisedException();
    *value = exc;
    *type = exc ? Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc))) : nullptr;
    *traceback = exc ? PyException_GetTraceback(exc) : nullptr;
#else
    PyErr_Fetch(type, value, traceback);
#endif
}

// Steals the three references.
static inline void restore_exception(PyObject* type, PyObject* value, PyObject* traceback) {
#if PY_VERSION_HEX >= 0x030C0000
    Py_XDECREF(type);
    Py_XDECREF(traceback);   // the exception's own __traceback__ is the same
    PyErr_SetRaisedException(value);
#else
    PyErr_Restore(type, value, traceback);
#endif
}

#include "boundary/errors.hpp"

#include <frameobject.h>

#include <exception>
#include <ios>
#include <new>
#include <stdexcept>
#include <typeinfo>

#include "boundary/compat.hpp"
#include "boundary/module_state.hpp"

namespace velmora {

void translate_native_failure() noexcept {
    if (PyErr_Occurred()) return;
    try {
        throw;
    } catch (const std::bad_alloc& e) {
        PyErr_SetString(PyExc_MemoryError, e.what());
    } catch (const std::bad_cast& e) {
        PyErr_SetString(PyExc_TypeError, e.what());
    } catch (const std::bad_typeid& e) {
        PyErr_SetString(PyExc_TypeError, e.what());
    } catch (const std::domain_error& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::invalid_argument& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::ios_base::failure& e) {
        PyErr_SetString(PyExc_IOError, e.what());
    } catch (const std::out_of_range& e) {
        PyErr_SetString(PyExc_IndexError, e.what());
    } catch (const std::overflow_error& e) {
        PyErr_SetString(PyExc_OverflowError, e.what());
    } catch (const std::range_error& e) {
        PyErr_SetString(PyExc_ArithmeticError, e.what());
    } catch (const std::underflow_error& e) {
        PyErr_SetString(PyExc_ArithmeticError, e.what());
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "Unknown exception");
    }
}

void raise_sorter_failure(const engine::SorterStatus& status) noexcept {
    try {
        std::rethrow_exception(status.failure);
    } catch (...) {
        translate_native_failure();
    }
    add_traceback(kSorterQualname, status.place);
}

void add_traceback(const char* qualname, SourcePlace place) noexcept {
    PyObject *type, *value, *traceback;
    fetch_exception(&type, &value, &traceback);
    // An empty code object whose first line is the place's: with no line
    // table the frame reports that line on every interpreter version.
    PyCodeObject* code = PyCode_NewEmpty(place.file, qualname, place.line);
    if (code == nullptr) {
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(traceback);
        return;
    }
    restore_exception(type, value, traceback);
    PyObject* globals = state().globals;
    PyFrameObject* frame =
        globals ? PyFrame_New(PyThreadState_Get(), code, globals, nullptr) : nullptr;
    if (frame != nullptr) {
#if PY_VERSION_HEX < 0x030B0000
        frame->f_lineno = place.line;   // the field is private from 3.11 on
#endif
        PyTraceBack_Here(frame);
        Py_DECREF(frame);
    }
    Py_DECREF(code);
}

}  // namespace velmora

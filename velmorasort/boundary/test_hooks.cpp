#include "boundary/test_hooks.hpp"

#ifdef VELMORASORT_FAULT_INJECTION
#include <algorithm>
#include <climits>

#include "boundary/function_type.hpp"
#include "boundary/parallel_floats.hpp"
#include "boundary/refs.hpp"
#include "boundary/version_check.hpp"
#include "engine/fault_injection.hpp"
#include "engine/group_sort.hpp"
#include "engine/team_limits.hpp"
#endif

namespace velmora {

#ifdef VELMORASORT_FAULT_INJECTION
namespace {

// _fault_arm(countdown, kind): the countdown-th allocation site from now
// fails with kind 0 (std::bad_alloc), 1 (std::length_error) or 2 (a thrown
// int); 0 disarms.
PyObject* fault_arm(PyObject*, PyObject* args) {
    long countdown = 0;
    int kind = 0;
    if (!PyArg_ParseTuple(args, "l|i", &countdown, &kind)) return nullptr;
    fault::arm(countdown, static_cast<fault::Kind>(kind));
    Py_RETURN_NONE;
}

// _fault_sites(): allocation sites passed since the last _fault_arm.
PyObject* fault_sites(PyObject*, PyObject*) { return PyLong_FromLong(fault::sites_passed()); }

// _check_runtime_version(version_string): the start-up version check.
PyObject* version_check(PyObject*, PyObject* arg) {
    const char* text = PyUnicode_AsUTF8(arg);
    if (text == nullptr || check_runtime_version(text) < 0) return nullptr;
    Py_RETURN_NONE;
}

// A hook that turns an engine switch on or off by the truth of its argument.
template <void (*Set)(bool) noexcept>
PyObject* switch_hook(PyObject*, PyObject* arg) {
    const int on = PyObject_IsTrue(arg);
    if (on < 0) return nullptr;
    Set(on != 0);
    Py_RETURN_NONE;
}

// _caller_attach_delay(ms): on free-threaded builds, the calling thread of a
// float team waits ms milliseconds before it attaches (0: no wait).
PyObject* caller_attach_delay(PyObject*, PyObject* arg) {
    const long milliseconds = PyLong_AsLong(arg);
    if (milliseconds == -1 && PyErr_Occurred()) return nullptr;
    set_caller_attach_delay(static_cast<int>(milliseconds < 0 ? 0 : milliseconds));
    Py_RETURN_NONE;
}

// _usable_cpus(n): the CPU count teams are capped at reads n from now on
// (0 or less: the real count again); returns the count now in force.
PyObject* usable_cpus(PyObject*, PyObject* arg) {
    const long cpus = PyLong_AsLong(arg);
    if (cpus == -1 && PyErr_Occurred()) return nullptr;
    engine::assume_usable_cpus(cpus > INT_MAX ? INT_MAX : static_cast<int>(cpus));
    return PyLong_FromLong(engine::usable_cpus());
}

// _startable_team(n): the team of at most n threads (1 to 1024) that could
// start on the calling thread now.
PyObject* startable_team(PyObject*, PyObject* arg) {
    const long team = PyLong_AsLong(arg);
    if (team == -1 && PyErr_Occurred()) return nullptr;
    return PyLong_FromLong(engine::startable_team(static_cast<int>(std::min(std::max(team, 1L), 1024L))));
}

// _clear_function(f): clears the function object f as the cyclic collector
// does, leaving it reachable.
PyObject* clear_function_hook(PyObject*, PyObject* arg) {
    if (clear_function(arg) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef hooks[] = {
    {"_fault_arm", fault_arm, METH_VARARGS, nullptr},
    {"_fault_sites", fault_sites, METH_NOARGS, nullptr},
    {"_check_runtime_version", version_check, METH_O, nullptr},
    // While on, every group is sorted by the insertion algorithm, for
    // comparisons with the fast methods.
    {"_reference_mode", switch_hook<engine::set_reference_mode>, METH_O, nullptr},
    // While on, groups with a unique order go to the portable radix kernel
    // even in a build that carries the vectorised one.
    {"_portable_kernel", switch_hook<engine::set_portable_kernel_only>, METH_O, nullptr},
    {"_caller_attach_delay", caller_attach_delay, METH_O, nullptr},
    {"_usable_cpus", usable_cpus, METH_O, nullptr},
    {"_startable_team", startable_team, METH_O, nullptr},
    {"_clear_function", clear_function_hook, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int install_test_hooks(PyObject* globals) {
    for (PyMethodDef* def = hooks; def->ml_name != nullptr; ++def) {
        OwnedRef function = OwnedRef::steal(PyCFunction_New(def, nullptr));
        if (!function || PyDict_SetItemString(globals, def->ml_name, function.get()) < 0) return -1;
    }
    return 0;
}
#else
int install_test_hooks(PyObject*) { return 0; }
#endif

}  // namespace velmora

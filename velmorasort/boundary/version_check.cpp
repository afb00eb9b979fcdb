#include "boundary/version_check.hpp"

#include <Python.h>

#include <cstdio>

#include "boundary/module_state.hpp"

namespace velmora {

int check_runtime_version(const char* runtime_version) {
    int major = 0, minor = 0;
    std::sscanf(runtime_version, "%d.%d", &major, &minor);
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return 0;
    char message[200];
    std::snprintf(message, sizeof message,
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  PY_MAJOR_VERSION, PY_MINOR_VERSION, kModuleName, "does not match", major, minor);
    return PyErr_WarnEx(PyExc_RuntimeWarning, message, 1);
}

}  // namespace velmora

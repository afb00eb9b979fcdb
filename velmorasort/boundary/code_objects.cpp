#include "boundary/code_objects.hpp"

#include "boundary/module_state.hpp"

namespace velmora {

PyObject* new_signature_code(PyObject* name, int argcount, PyObject* varnames, PyObject* filename,
                             int firstlineno) {
    const ModuleState& st = state();
    const int nlocals = static_cast<int>(PyTuple_GET_SIZE(varnames));
    const int flags = CO_OPTIMIZED | CO_NEWLOCALS;
    PyObject* empty = st.empty_tuple;
    PyObject* body = st.empty_bytes;
#if PY_VERSION_HEX >= 0x030C0000
    return reinterpret_cast<PyObject*>(PyUnstable_Code_New(argcount, 0, nlocals, 0, flags, body, empty,
                                                           empty, varnames, empty, empty, filename, name,
                                                           name, firstlineno, body, body));
#elif PY_VERSION_HEX >= 0x030B0000
    return reinterpret_cast<PyObject*>(PyCode_New(argcount, 0, nlocals, 0, flags, body, empty, empty,
                                                  varnames, empty, empty, filename, name, name,
                                                  firstlineno, body, body));
#else
    return reinterpret_cast<PyObject*>(PyCode_New(argcount, 0, nlocals, 0, flags, body, empty, empty,
                                                  varnames, empty, empty, filename, name, firstlineno,
                                                  body));
#endif
}

}  // namespace velmora

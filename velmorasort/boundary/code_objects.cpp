#include "boundary/code_objects.hpp"

#include <string>

#include "boundary/module_state.hpp"
#include "boundary/refs.hpp"

namespace velmora {
namespace {

// Python source whose line `first_line` is the definition:
//
//     def supersort(input_list, num_threads):
//         n = lst = ... = final_result = None
//         from velmorasort.VelmoraSort import supersort as final_result
//         return final_result(input_list, num_threads)
//
// The chained assignment binds the locals in the listed order, which is the
// order of co_varnames; the import binds a name already listed, so the
// variables stay exactly those given. The code is thus a real function body:
// anything that runs or disassembles it works as on any Python function.
std::string signature_source(const char* name, int argcount, std::initializer_list<const char*> variables,
                             int first_line) {
    std::string parameters, locals, last;
    int k = 0;
    for (const char* variable : variables) {
        std::string& part = k++ < argcount ? parameters : locals;
        if (!part.empty()) part += k <= argcount ? ", " : " = ";
        part += variable;
        last = variable;
    }
    std::string source(first_line > 1 ? static_cast<std::size_t>(first_line - 1) : 0, '\n');
    source += "def " + std::string(name) + "(" + parameters + "):\n";
    if (!locals.empty()) source += "    " + locals + " = None\n";
    source += "    from " + std::string(kModuleName) + " import " + name + " as " + last + "\n";
    source += "    return " + last + "(" + parameters + ")\n";
    return source;
}

}  // namespace

PyObject* new_signature_code(const char* name, int argcount, std::initializer_list<const char*> variables,
                             const char* file, int first_line) {
    std::string source;
    try {
        source = signature_source(name, argcount, variables, first_line);
    } catch (...) {
        PyErr_NoMemory();
        return nullptr;
    }
    OwnedRef module_code = OwnedRef::steal(Py_CompileString(source.c_str(), file, Py_file_input));
    if (!module_code) return nullptr;
    // The function's code is the one code object among the module's constants.
    OwnedRef constants = OwnedRef::steal(PyObject_GetAttrString(module_code.get(), "co_consts"));
    if (!constants) return nullptr;
    if (!PyTuple_Check(constants.get())) {
        PyErr_SetString(PyExc_SystemError, "co_consts is not a tuple");
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(constants.get()); ++i) {
        PyObject* item = PyTuple_GET_ITEM(constants.get(), i);
        if (PyCode_Check(item)) return Py_NewRef(item);
    }
    PyErr_Format(PyExc_SystemError, "no code object compiled for %s", name);
    return nullptr;
}

}  // namespace velmora

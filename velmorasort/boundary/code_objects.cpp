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
std::string signature_source(const CodeLayout& layout) {
    std::string parameters, locals;
    for (std::size_t k = 0; k < layout.variable_count; ++k) {
        const bool parameter = k < static_cast<std::size_t>(layout.argcount);
        std::string& part = parameter ? parameters : locals;
        if (!part.empty()) part += parameter ? ", " : " = ";
        part += layout.variables[k];
    }
    const std::string name = layout.name;
    const std::string last = layout.variables[layout.variable_count - 1];
    std::string source(layout.first_line > 1 ? static_cast<std::size_t>(layout.first_line - 1) : 0, '\n');
    source += "def " + name + "(" + parameters + "):\n";
    if (!locals.empty()) source += "    " + locals + " = None\n";
    source += "    from " + std::string(kModuleName) + " import " + name + " as " + last + "\n";
    source += "    return " + last + "(" + parameters + ")\n";
    return source;
}

}  // namespace

PyObject* new_signature_code(const CodeLayout& layout) {
    std::string source;
    try {
        source = signature_source(layout);
    } catch (...) {
        PyErr_NoMemory();
        return nullptr;
    }
    OwnedRef module_code = OwnedRef::steal(Py_CompileString(source.c_str(), layout.file, Py_file_input));
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
    PyErr_Format(PyExc_SystemError, "no code object compiled for %s", layout.name);
    return nullptr;
}

}  // namespace velmora

#include "boundary/function_type.hpp"

#include <structmember.h>

#include <cstddef>

#include "boundary/code_objects.hpp"
#include "boundary/critical_section.hpp"
#include "boundary/refs.hpp"

namespace velmora {
namespace {

using FastKeywordsFunction = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

struct FunctionObject {
    PyObject_HEAD
    PyMethodDef* method;
    PyObject* name;          // __name__
    PyObject* qualname;      // __qualname__
    PyObject* module;        // __module__
    PyObject* globals;       // __globals__
    const CodeLayout* layout;
    PyObject* code;          // __code__, made from the layout on first read
    PyObject* defaults;      // __defaults__; NULL reads as None
    PyObject* kwdefaults;    // __kwdefaults__; NULL reads as None
    PyObject* doc;           // __doc__, made from the method entry on first read
    PyObject* dict;          // __dict__, made on first read
    PyObject* annotations;   // __annotations__, made on first read
    PyObject* is_coroutine;  // _is_coroutine, made on first read
    PyObject* weakrefs;
#if PY_VERSION_HEX >= 0x03080000
    vectorcallfunc vectorcall;
#endif
};

FunctionObject* as_function(PyObject* self) { return reinterpret_cast<FunctionObject*>(self); }

FastKeywordsFunction entry_of(PyMethodDef* method) {
    return reinterpret_cast<FastKeywordsFunction>(reinterpret_cast<void (*)(void)>(method->ml_meth));
}

#if PY_VERSION_HEX >= 0x03080000
bool all_strings(PyObject* kwnames) {
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kwnames); ++k) {
        if (!PyUnicode_Check(PyTuple_GET_ITEM(kwnames, k))) return false;
    }
    return true;
}

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    // Interpreters before 3.9 pass keyword names unchecked.
    if (kwnames != nullptr && !all_strings(kwnames)) {
        PyErr_SetString(PyExc_TypeError, "keywords must be strings");
        return nullptr;
    }
    return entry_of(as_function(self)->method)(self, args, PyVectorcall_NARGS(nargsf), kwnames);
}
#endif

// Collects the positional tuple and keyword dictionary of a generic call into
// one argument array and a tuple of keyword names, then calls `method`.
PyObject* call_with_tuple_and_dict(PyMethodDef* method, PyObject* self, PyObject* args,
                                   PyObject* kwargs) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    PyObject* const* positional = reinterpret_cast<PyTupleObject*>(args)->ob_item;
    if (kwargs == nullptr || PyDict_GET_SIZE(kwargs) == 0) {
        return entry_of(method)(self, positional, nargs, nullptr);
    }
    OwnedRef kwnames, stack;
    {
        // A caller's dictionary that another thread may change (free-threaded
        // builds): its size and items are read in one go under its lock.
        const CriticalSection on_kwargs(kwargs);
        const Py_ssize_t keyword_count = PyDict_GET_SIZE(kwargs);
        kwnames = OwnedRef::steal(PyTuple_New(keyword_count));
        if (!kwnames) return nullptr;
        // Positional items, then the dictionary's values in its order; each
        // held by a reference of our own for the duration of the call.
        stack = OwnedRef::steal(PyTuple_New(nargs + keyword_count));
        if (!stack) return nullptr;
        for (Py_ssize_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(stack.get(), i, Py_NewRef(positional[i]));
        Py_ssize_t pos = 0, k = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!PyUnicode_Check(key)) {
                PyErr_SetString(PyExc_TypeError, "keywords must be strings");
                return nullptr;
            }
            PyTuple_SET_ITEM(kwnames.get(), k, Py_NewRef(key));
            PyTuple_SET_ITEM(stack.get(), nargs + k, Py_NewRef(value));
            ++k;
        }
    }
    return entry_of(method)(self, reinterpret_cast<PyTupleObject*>(stack.get())->ob_item, nargs,
                            kwnames.get());
}

PyObject* function_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    return call_with_tuple_and_dict(as_function(self)->method, self, args, kwargs);
}

// Reads a lazily made attribute, making it with `make` on first use.
template <typename Make>
PyObject* lazy(PyObject*& slot, Make make) {
    if (slot == nullptr) slot = make();
    Py_XINCREF(slot);
    return slot;
}

PyObject* get_doc(PyObject* self, void*) {
    FunctionObject* f = as_function(self);
    return lazy(f->doc, [f] {
        if (f->method->ml_doc == nullptr) {
            Py_INCREF(Py_None);
            return Py_None;
        }
        return PyUnicode_FromString(f->method->ml_doc);
    });
}

int set_doc(PyObject* self, PyObject* value, void*) {
    FunctionObject* f = as_function(self);
    if (value == nullptr) value = Py_None;
    Py_INCREF(value);
    Py_XSETREF(f->doc, value);
    return 0;
}

// __name__ and __qualname__ take strings only, as a Python function's do.
int set_string(PyObject*& slot, PyObject* value, const char* message) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, message);
        return -1;
    }
    Py_INCREF(value);
    Py_XSETREF(slot, value);
    return 0;
}

// The collector's clear (function_clear) leaves the name and qualified name
// as empty strings and the other references NULL; each read below gives a
// safe value for NULL.
PyObject* string_or_empty(PyObject* obj) { return obj ? Py_NewRef(obj) : PyUnicode_FromString(""); }

PyObject* get_name(PyObject* self, void*) { return string_or_empty(as_function(self)->name); }
int set_name(PyObject* self, PyObject* value, void*) {
    return set_string(as_function(self)->name, value, "__name__ must be set to a string object");
}
PyObject* get_qualname(PyObject* self, void*) { return string_or_empty(as_function(self)->qualname); }
int set_qualname(PyObject* self, PyObject* value, void*) {
    return set_string(as_function(self)->qualname, value, "__qualname__ must be set to a string object");
}

PyObject* none_if_null(PyObject* obj) { return Py_NewRef(obj ? obj : Py_None); }

PyObject* get_module(PyObject* self, void*) { return none_if_null(as_function(self)->module); }
int set_module(PyObject* self, PyObject* value, void*) {
    Py_XINCREF(value);
    Py_XSETREF(as_function(self)->module, value);
    return 0;
}

// Defaults can be replaced, as on a Python function, but the entries bind
// their built-in defaults: say so instead of pretending.
int set_defaults_slot(PyObject*& slot, PyObject* value, bool (*accepts)(PyObject*),
                      const char* type_message, const char* attribute) {
    if (value == Py_None) value = nullptr;
    if (value != nullptr && !accepts(value)) {
        PyErr_SetString(PyExc_TypeError, type_message);
        return -1;
    }
    if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                         "changes to %s will not affect the values used in function calls",
                         attribute) < 0) {
        return -1;
    }
    Py_XINCREF(value);
    Py_XSETREF(slot, value);
    return 0;
}

bool is_tuple(PyObject* obj) { return PyTuple_Check(obj); }
bool is_dict(PyObject* obj) { return PyDict_Check(obj); }

PyObject* get_defaults(PyObject* self, void*) { return none_if_null(as_function(self)->defaults); }
int set_defaults(PyObject* self, PyObject* value, void*) {
    return set_defaults_slot(as_function(self)->defaults, value, is_tuple,
                             "__defaults__ must be set to a tuple object", "__defaults__");
}
PyObject* get_kwdefaults(PyObject* self, void*) { return none_if_null(as_function(self)->kwdefaults); }
int set_kwdefaults(PyObject* self, PyObject* value, void*) {
    return set_defaults_slot(as_function(self)->kwdefaults, value, is_dict,
                             "__kwdefaults__ must be set to a dict object", "__kwdefaults__");
}

PyObject* get_annotations(PyObject* self, void*) { return lazy(as_function(self)->annotations, PyDict_New); }
int set_annotations(PyObject* self, PyObject* value, void*) {
    if (value == Py_None) value = nullptr;
    if (value != nullptr && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XINCREF(value);
    Py_XSETREF(as_function(self)->annotations, value);
    return 0;
}

PyObject* get_dict(PyObject* self, void*) { return lazy(as_function(self)->dict, PyDict_New); }

PyObject* get_closure(PyObject*, void*) { Py_RETURN_NONE; }
// Made on first read, not at start-up: compiling is the interpreter's
// business, and under memory exhaustion not always a clean one.
PyObject* get_code(PyObject* self, void*) {
    FunctionObject* f = as_function(self);
    return lazy(f->code, [f] { return new_signature_code(*f->layout); });
}
PyObject* get_globals(PyObject* self, void*) { return none_if_null(as_function(self)->globals); }
PyObject* get_is_coroutine(PyObject* self, void*) {
    return lazy(as_function(self)->is_coroutine, [] { return Py_NewRef(Py_False); });
}

// The attribute slots are read, made and replaced under the object's own
// lock: on free-threaded builds a read must never take a reference to a value
// that a write on another thread is releasing, nor two first reads both make
// one. (Nothing on other builds; see critical_section.hpp.)
template <PyObject* (*Get)(PyObject*, void*)>
PyObject* locked(PyObject* self, void* closure) {
    const CriticalSection on_self(self);
    return Get(self, closure);
}
template <int (*Set)(PyObject*, PyObject*, void*)>
int locked(PyObject* self, PyObject* value, void* closure) {
    const CriticalSection on_self(self);
    return Set(self, value, closure);
}

PyGetSetDef function_getset[] = {
    {"__name__", locked<get_name>, locked<set_name>, nullptr, nullptr},
    {"__qualname__", locked<get_qualname>, locked<set_qualname>, nullptr, nullptr},
    {"__doc__", locked<get_doc>, locked<set_doc>, nullptr, nullptr},
    {"__module__", locked<get_module>, locked<set_module>, nullptr, nullptr},
    {"__globals__", locked<get_globals>, nullptr, nullptr, nullptr},
    {"__closure__", get_closure, nullptr, nullptr, nullptr},
    {"__code__", locked<get_code>, nullptr, nullptr, nullptr},
    {"__defaults__", locked<get_defaults>, locked<set_defaults>, nullptr, nullptr},
    {"__kwdefaults__", locked<get_kwdefaults>, locked<set_kwdefaults>, nullptr, nullptr},
    {"__annotations__", locked<get_annotations>, locked<set_annotations>, nullptr, nullptr},
    {"__dict__", locked<get_dict>, locked<PyObject_GenericSetDict>, nullptr, nullptr},
    {"_is_coroutine", locked<get_is_coroutine>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Pickled by reference: the qualified name leads back to the module global.
PyObject* function_reduce(PyObject* self, PyObject*) {
    const CriticalSection on_self(self);
    return string_or_empty(as_function(self)->qualname);
}

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// Bound to an instance, like a Python function stored on a class.
PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) {
    const CriticalSection on_self(self);
    OwnedRef qualname = OwnedRef::steal(string_or_empty(as_function(self)->qualname));
    if (!qualname) return nullptr;
    return PyUnicode_FromFormat("<velmorasort function %U at %p>", qualname.get(), self);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    FunctionObject* f = as_function(self);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->globals);
    Py_VISIT(f->code);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->doc);
    Py_VISIT(f->dict);
    Py_VISIT(f->annotations);
    Py_VISIT(f->is_coroutine);
    return 0;
}

// The references that can lead back to the object.
void drop_references(FunctionObject* f) {
    Py_CLEAR(f->module);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->is_coroutine);
}

// The collector's clear. The names become the empty string, as a Python
// function's do (an instance of a str subclass set as a name could lead
// back); the code object stays, it holds only constants.
int function_clear(PyObject* self) {
    FunctionObject* f = as_function(self);
    // The interpreter keeps one empty string from its start on: this makes
    // nothing and cannot fail.
    Py_XSETREF(f->name, PyUnicode_FromString(""));
    Py_XSETREF(f->qualname, PyUnicode_FromString(""));
    drop_references(f);
    return 0;
}

void function_dealloc(PyObject* self) {
    FunctionObject* f = as_function(self);
    PyObject_GC_UnTrack(self);
    if (f->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
    drop_references(f);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->code);
    PyObject_GC_Del(self);
}

// The type as written here. A readied type holds its runtime's objects
// (dictionary, method order, version tag): when the runtime ends, the type
// may go back to this (forget_function_type) for the next to ready.
const PyTypeObject function_type_template = [] {
    // The object header needs the interpreter's initialiser; every slot not
    // named below is zero.
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#endif
    PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
    t.tp_name = "velmorasort.function";
    t.tp_basicsize = sizeof(FunctionObject);
    t.tp_dealloc = function_dealloc;
    t.tp_repr = function_repr;
    t.tp_call = function_call;
    t.tp_getattro = PyObject_GenericGetAttr;
    t.tp_setattro = PyObject_GenericSetAttr;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
#if PY_VERSION_HEX >= 0x03090000
    t.tp_flags |= Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
#elif PY_VERSION_HEX >= 0x03080000
    t.tp_flags |= _Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
#endif
#if PY_VERSION_HEX >= 0x03080000
    t.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
#endif
    t.tp_traverse = function_traverse;
    t.tp_clear = function_clear;
    t.tp_weaklistoffset = offsetof(FunctionObject, weakrefs);
    t.tp_methods = function_methods;
    t.tp_getset = function_getset;
    t.tp_descr_get = function_descr_get;
    t.tp_dictoffset = offsetof(FunctionObject, dict);
    return t;
}();

PyTypeObject function_type = function_type_template;

}  // namespace

PyTypeObject* ready_function_type() {
    // A failed readying is taken up again where it stopped.
    if (PyType_Ready(&function_type) < 0) return nullptr;
    return &function_type;
}

void forget_function_type() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    // From 3.12 on the ended runtime freed what the readied type refers to
    // (its interned names among them) and dropped it from object's
    // subclasses: the type starts again unreadied. Before, that runtime
    // freed none of it and object kept the type as a subclass, whose
    // record must stay consistent with the type: it stays readied.
    function_type = function_type_template;
#endif
}

bool calls_method(PyObject* obj, const PyMethodDef* method) noexcept {
    return Py_TYPE(obj) == &function_type && as_function(obj)->method == method;
}

int clear_function(PyObject* obj) {
    if (Py_TYPE(obj) != &function_type) {
        PyErr_SetString(PyExc_TypeError, "expected a velmorasort function");
        return -1;
    }
    return function_clear(obj);
}

PyObject* new_function(PyTypeObject* type, PyMethodDef* method, PyObject* qualname, PyObject* module_name,
                       PyObject* globals, const CodeLayout* layout, PyObject* defaults) {
    OwnedRef name = OwnedRef::steal(PyUnicode_InternFromString(method->ml_name));
    if (!name) return nullptr;
    FunctionObject* f = PyObject_GC_New(FunctionObject, type);
    if (f == nullptr) return nullptr;
    f->method = method;
    f->name = name.release();
    f->qualname = Py_NewRef(qualname);
    f->module = Py_NewRef(module_name);
    f->globals = Py_NewRef(globals);
    f->layout = layout;
    f->code = nullptr;
    f->defaults = defaults ? Py_NewRef(defaults) : nullptr;
    f->kwdefaults = nullptr;
    f->doc = nullptr;
    f->dict = nullptr;
    f->annotations = nullptr;
    f->is_coroutine = nullptr;
    f->weakrefs = nullptr;
#if PY_VERSION_HEX >= 0x03080000
    f->vectorcall = function_vectorcall;
#endif
    PyObject_GC_Track(f);
    return reinterpret_cast<PyObject*>(f);
}

}  // namespace velmora

// The module velmorasort.VelmoraSort: its definition, create and start-up
// steps, and the entries of sort and supersort.
#include <Python.h>

#include <climits>
#include <cstdint>
#include <exception>
#include <iterator>
#include <utility>
#include <vector>

#include "boundary/arguments.hpp"
#include "boundary/code_objects.hpp"
#include "boundary/conversions.hpp"
#include "boundary/errors.hpp"
#include "boundary/function_type.hpp"
#include "boundary/globals.hpp"
#include "boundary/module_state.hpp"
#include "boundary/refs.hpp"
#include "boundary/region_interpreter.hpp"
#include "boundary/team_reading.hpp"
#include "boundary/test_hooks.hpp"
#include "boundary/version_check.hpp"
#include "engine/parallel_region.hpp"
#include "engine/portable.hpp"
#include "engine/sort_plan.hpp"
#include "engine/team_limits.hpp"
#include "engine/tuning.hpp"

// Set to non-zero by an embedding host before the import to make the module
// run as __main__.
extern "C" {
VELMORA_EXPORT std::int32_t velmorasort_module_is_main = 0;
}

namespace velmora {

ModuleState& state() noexcept {
    static ModuleState s;
    return s;
}

namespace {

// ---------------------------------------------------------------- sort ----

// sort's work. `read`, where given, holds the values of input_list as its
// reading gives them now, and is consumed; `read_elements` is what that
// reading kept, and `read_keys` the order keys it took instead of values
// (supersort hands them over).
OwnedRef sort_body(PyObject* input_list, std::vector<double>* read = nullptr,
                   const ReadElements* read_elements = nullptr, KeyRead* read_keys = nullptr) {
    return with_traceback_entry(kSortQualname, [&](Steps& step) -> OwnedRef {
        if (input_list == Py_None) step.raise(PyExc_TypeError, "object of type 'NoneType' has no len()");
        const Py_ssize_t n = PyList_GET_SIZE(input_list);
        // Past the direct path the shortcut may return the list itself: the
        // read keeps what tells whether a __float__ changed it.
        ReadElements own_elements(false);
        ReadElements* const watch = n > tuning::kDirectPathMax ? &own_elements : nullptr;
        const ReadElements& elements = read_elements != nullptr ? *read_elements : own_elements;
        // A list of its own to read may go straight into order keys (sort_keys).
        KeyRead by_keys;
        KeyRead* const keys = read == nullptr && watch != nullptr && engine::key_pipeline_open() ? &by_keys : nullptr;
        std::vector<double> lst =
            read ? std::move(*read) : step([&] { return list_to_vector(input_list, 1, nullptr, watch, keys); });
        KeyRead& taken = read_keys != nullptr ? *read_keys : by_keys;
        if (taken.taken) {
            step([&] { engine::sort_keys(taken.keys.get(), taken.count); });
            return step([&] { return keys_to_list(taken.keys.get(), taken.count); });
        }

        std::vector<double> sorted;
        engine::SorterStatus status;
        const engine::ListPlan plan{tuning::kDirectPathMax, tuning::kSortBucketDivisor, nullptr, nullptr};
        switch (step([&] { return engine::sort_list(lst, n, plan, sorted, status); })) {
            case engine::Outcome::shortcut:
                return step([&] { return elements.shortcut_result(input_list, lst); });
            case engine::Outcome::failed:
                raise_sorter_failure(status);
                step.fail_last();
            case engine::Outcome::sorted:
            case engine::Outcome::pieces:   // never: the plan has no piece job
                break;
        }
        return step([&] { return vector_to_list(sorted); });
    });
}

constexpr int kSortDefinitionLine = __LINE__ + 1;
PyObject* sort_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const ModuleState& st = state();
    PyObject* const parameters[] = {st.names.input_list};
    const Signature signature{"sort", kSortQualname, kSortDefinitionLine, 1, 1, parameters};
    try {
        PyObject* values[1];
        bind_arguments(signature, args, nargs, kwnames, values);
        require_list_or_none(values[0], "input_list");
        return sort_body(values[0]).release();
    } catch (const PythonError&) {
        return nullptr;
    }
}

// ----------------------------------------------------------- supersort ----

extern PyMethodDef sort_method;

// The team size asked for: num_threads, or multiprocessing.cpu_count() as the
// module globals name it now when num_threads is 0 or less.
int requested_team(int num_threads) {
    if (num_threads > 0) return num_threads;
    const ModuleState& st = state();
    OwnedRef multiprocessing = module_global_lookup(st.names.multiprocessing);
    OwnedRef cpu_count = OwnedRef::checked(PyObject_GetAttr(multiprocessing.get(), st.names.cpu_count));
    OwnedRef count = call_object(cpu_count.get(), nullptr);
    const int value = as_c_int(count.get());
    if (value == -1 && PyErr_Occurred()) throw PythonError{};
    note_cpu_count(value);   // the next call's reading follows it
    return value;
}

// sort_keys on the keys of `read` with the lock let go; rethrows its native
// failure with the lock held.
void sort_keys_without_lock(KeyRead& read) {
    struct Work {
        KeyRead& read;
        std::exception_ptr failure;
    } work{read, nullptr};
    interpreter::run_without_lock(
        [](void* context) {
            Work& w = *static_cast<Work*>(context);
            try {
                engine::sort_keys(w.read.keys.get(), w.read.count);
            } catch (...) {
                w.failure = std::current_exception();
            }
        },
        &work);
    if (work.failure) std::rethrow_exception(work.failure);
}

OwnedRef supersort_body(PyObject* input_list, int num_threads) {
    return with_traceback_entry(kSupersortQualname, [&](Steps& step) -> OwnedRef {
        if (input_list == Py_None) step.raise(PyExc_TypeError, "object of type 'NoneType' has no len()");
        const Py_ssize_t n = PyList_GET_SIZE(input_list);
        // A long list whose team could not be large enough for the pipeline
        // to win (too short for that many threads, or fewer asked for or
        // usable) goes sort's way: read by this thread straight into order
        // keys where it can, the keys sorted without the lock.
        const bool alone = n > tuning::kDelegationMax &&
                           engine::team_size(num_threads > 0 ? num_threads : INT_MAX,
                                             n / tuning::kSupersortBucketDivisor + 1,
                                             static_cast<std::size_t>(n)) < tuning::kPipelineThreadsMin;
        // Other long lists are read by a team (as large as cpu_count's last
        // answer allows where num_threads leaves the team to it: it is asked
        // only after the conversion, as ever).
        const int reading = n > tuning::kDelegationMax && !alone
                                ? reading_team(num_threads, static_cast<std::size_t>(n))
                                : 1;
        bool ran_code = false;
        // Python code that runs before the shortcut's return (the lookup of
        // sort, cpu_count) may change the list after the read.
        ReadElements elements(n <= tuning::kDelegationMax || num_threads <= 0);
        ReadElements* const watch = n > tuning::kDirectPathMax ? &elements : nullptr;
        KeyRead by_keys;
        // (Lists short enough for sort too: sort takes the keys where it is
        // the module's own.)
        const bool like_sort = alone || (n > tuning::kDirectPathMax && n <= tuning::kDelegationMax);
        KeyRead* const keys = like_sort && engine::key_pipeline_open() ? &by_keys : nullptr;
        std::vector<double> lst =
            step([&] { return list_to_vector(input_list, reading, &ran_code, watch, keys); });

        if (n <= tuning::kDelegationMax) {
            // Short lists go to whatever the module global sort is now; its
            // result is returned as it is.
            OwnedRef sort = step([] { return module_global_lookup(state().names.sort); });
            if (!ran_code && calls_method(sort.get(), &sort_method)) {
                // Our own sort, and no Python code ran on this thread while
                // the list was read: sort would read these very values again
                // (another thread's change may as well come after the call),
                // so it takes them instead.
                return step([&] { return sort_body(input_list, &lst, &elements, &by_keys); });
            }
            lst = {};
            return step([&] { return call_object(sort.get(), input_list); });
        }

        // Asked after the read whatever the path (cpu_count's Python code runs
        // then, as ever); a list that goes sort's way uses no team at all.
        const int asked = step([&] { return requested_team(num_threads); });
        const int requested = alone ? 1 : asked;
        if (by_keys.taken) {
            // Sorted without the lock, as a team sorts (nothing there calls
            // the interpreter); a native failure is thrown again once it is
            // taken back.
            step([&] { sort_keys_without_lock(by_keys); });
            return step([&] { return keys_to_list(by_keys.keys.get(), by_keys.count); });
        }
        std::vector<double> sorted;
        engine::SorterStatus status;
        // A list with a unique order is sorted in pieces by the team, without
        // the lock, while this thread makes the floats of each finished piece,
        // free-threaded builds included: a float made here is owned by this
        // thread, whose own heap gives its memory and whose own reference
        // count frees it, where floats made on team threads came from fresh
        // heaps and went back through the shared counts. Other lists are
        // sorted whole; free-threaded builds then make their floats on a team.
        engine::PieceJob pieces;
        const engine::ListPlan plan{-1, tuning::kSupersortBucketDivisor, interpreter::run_without_lock,
                                    [requested](std::int64_t bucket_count, std::size_t values) {
                                        return engine::team_size(requested, bucket_count, values);
                                    },
                                    &pieces};
        const engine::Outcome outcome = step([&] { return engine::sort_list(lst, n, plan, sorted, status); });
        switch (outcome) {
            case engine::Outcome::shortcut:
                return step([&] { return elements.shortcut_result(input_list, lst); });
            case engine::Outcome::failed:
                raise_sorter_failure(status);
                step.fail_last();
            case engine::Outcome::sorted:
            case engine::Outcome::pieces:
                break;
        }
        engine::PieceJob* const job = outcome == engine::Outcome::pieces ? &pieces : nullptr;
        return step([&] { return vector_to_list(sorted, requested, job); });
    });
}

constexpr int kSupersortDefinitionLine = __LINE__ + 1;
PyObject* supersort_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const ModuleState& st = state();
    PyObject* const parameters[] = {st.names.input_list, st.names.num_threads};
    const Signature signature{"supersort", kSupersortQualname, kSupersortDefinitionLine, 2, 1, parameters};
    try {
        PyObject* values[2];
        bind_arguments(signature, args, nargs, kwnames, values);
        int num_threads = -1;
        if (values[1] != nullptr) {
            num_threads = as_c_int(values[1]);
            if (num_threads == -1 && PyErr_Occurred()) {
                add_traceback(kSupersortQualname, {kSourcePath, kSupersortDefinitionLine});
                return nullptr;
            }
        }
        require_list_or_none(values[0], "input_list");
        return supersort_body(values[0], num_threads).release();
    } catch (const PythonError&) {
        return nullptr;
    }
}

// ------------------------------------------------------ the definition ----

PyMethodDef sort_method = {
    "sort", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(sort_entry)),
    METH_FASTCALL | METH_KEYWORDS,
    "\n    Sorts a list of numbers using a high-speed single-threaded bucket sort.\n    "};

PyMethodDef supersort_method = {
    "supersort", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(supersort_entry)),
    METH_FASTCALL | METH_KEYWORDS,
    "\n"
    "    Sorts a list of numbers using a multithreaded bucket sort.\n"
    "\n"
    "    Args:\n"
    "        input_list (list): The list of floats/integers to sort.\n"
    "        num_threads (int): The number of threads to use.\n"
    "                             -1 (default) uses all available CPU cores.\n"
    "    "};

// The code objects' variables: parameters first, then the locals.
constexpr const char* kSortVariables[] = {"input_list", "n", "lst", "min_val", "max_val", "v",
                                          "bucket_count", "buckets", "range_val", "bucket_idx", "factor",
                                          "final_result", "sorted_bucket", "i"};
constexpr const char* kSupersortVariables[] = {"input_list", "num_threads", "n", "lst", "actual_num_threads",
                                               "min_val", "max_val", "v", "bucket_count", "buckets",
                                               "range_val", "bucket_idx", "factor", "i", "final_result"};
const CodeLayout sort_layout{"sort", kSourcePath, kSortDefinitionLine, 1, kSortVariables,
                             std::size(kSortVariables)};
const CodeLayout supersort_layout{"supersort", kSourcePath, kSupersortDefinitionLine, 2, kSupersortVariables,
                                  std::size(kSupersortVariables)};

PyObject* module_create(PyObject* spec, PyModuleDef*);
int module_exec(PyObject* module);

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
#ifdef Py_GIL_DISABLED
    // Free-threaded builds: every piece of shared state is safe without the
    // interpreter lock, so importing us leaves it off.
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyMethodDef no_methods[] = {{nullptr, nullptr, 0, nullptr}};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "VelmoraSort", nullptr, 0, no_methods, module_slots, nullptr, nullptr, nullptr,
};

// --------------------------------------------------------------- create ----

std::int64_t current_interpreter_id() {
#if PY_VERSION_HEX >= 0x03090000
    return PyInterpreterState_GetID(PyInterpreterState_Get());
#else
    return PyInterpreterState_GetID(PyThreadState_Get()->interp);
#endif
}

// Copies spec.<attribute> to module.__dict__[name]; a missing attribute is
// skipped, None only when `copy_none`. 0, or -1 with an exception.
int copy_spec_attribute(PyObject* spec, PyObject* module_dict, const char* attribute, const char* name,
                        bool copy_none) {
    OwnedRef value = OwnedRef::steal(PyObject_GetAttrString(spec, attribute));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    if (value.get() == Py_None && !copy_none) return 0;
    return PyDict_SetItemString(module_dict, name, value.get());
}

// Py_FinalizeEx's last step: the runtime is gone, and the state's objects
// with it (or they are left to the exiting process). No C API call is
// allowed here; only the pointers are dropped, so that a runtime initialised
// later starts from nothing.
void forget_state() {
    state() = ModuleState{};
    forget_function_type();
}

// Registers forget_state once per runtime. 0, or -1 with an exception.
int forget_state_at_exit(ModuleState& st) {
    if (st.forgets_at_exit) return 0;
    if (Py_AtExit(forget_state) < 0) {
        // Without it a later runtime would meet this one's freed objects.
        PyErr_SetString(PyExc_ImportError,
                        "velmorasort.VelmoraSort: no room to register its clean-up at interpreter exit "
                        "(Py_AtExit)");
        return -1;
    }
    st.forgets_at_exit = true;
    return 0;
}

PyObject* module_create(PyObject* spec, PyModuleDef*) {
    ModuleState& st = state();
    const std::int64_t id = current_interpreter_id();
    {
        const StateLock lock;
        if (st.first_interpreter_id == -1) {
            st.first_interpreter_id = id;
            if (id == -1) return nullptr;
        } else if (id != st.first_interpreter_id) {
            // Team threads attach through PyGILState_Ensure, which always
            // gives them the main interpreter: another interpreter's calls
            // would run there. The refusal keeps it so.
            PyErr_SetString(PyExc_ImportError,
                            "Interpreter change detected - this module can only be loaded into one "
                            "interpreter per process.");
            return nullptr;
        }
        // From the first create of a runtime on, its end forgets the state.
        if (forget_state_at_exit(st) < 0) return nullptr;
        if (st.module != nullptr) return Py_NewRef(st.module);
    }

    OwnedRef name = OwnedRef::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    OwnedRef module = OwnedRef::steal(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    PyObject* dict = PyModule_GetDict(module.get());
    if (copy_spec_attribute(spec, dict, "loader", "__loader__", true) < 0 ||
        copy_spec_attribute(spec, dict, "origin", "__file__", true) < 0 ||
        copy_spec_attribute(spec, dict, "parent", "__package__", true) < 0 ||
        copy_spec_attribute(spec, dict, "submodule_search_locations", "__path__", false) < 0) {
        return nullptr;
    }
    return module.release();
}

// ------------------------------------------------------------- start-up ----

int intern_names(InternedNames& names) {
    struct Entry {
        PyObject** slot;
        const char* text;
    };
    const Entry entries[] = {
        {&names.input_list, "input_list"}, {&names.num_threads, "num_threads"},
        {&names.sort, "sort"}, {&names.supersort, "supersort"},
        {&names.multiprocessing, "multiprocessing"}, {&names.cpu_count, "cpu_count"},
        {&names.range, "range"}, {&names.memory_error, "MemoryError"},
        {&names.spec, "__spec__"}, {&names.initializing, "_initializing"},
        {&names.dunder_name, "__name__"}, {&names.dunder_main, "__main__"},
        {&names.dunder_test, "__test__"}, {&names.module_name, kModuleName},
    };
    for (const Entry& e : entries) {
        if (*e.slot == nullptr) *e.slot = PyUnicode_InternFromString(e.text);
        if (*e.slot == nullptr) return -1;
    }
    return 0;
}

// multiprocessing as sys.modules has it, unless it is absent or still being
// initialised; then a fresh absolute import.
OwnedRef import_multiprocessing(const ModuleState& st) {
    OwnedRef found = OwnedRef::steal(PyImport_GetModule(st.names.multiprocessing));
    if (!found) PyErr_Clear();
    if (found) {
        bool initializing = false;
        OwnedRef spec = OwnedRef::steal(PyObject_GetAttr(found.get(), st.names.spec));
        OwnedRef flag;
        if (spec) flag = OwnedRef::steal(PyObject_GetAttr(spec.get(), st.names.initializing));
        PyErr_Clear();
        if (flag) {
            const int truth = PyObject_IsTrue(flag.get());
            if (truth < 0) PyErr_Clear();
            initializing = truth > 0;
        }
        if (!initializing) return found;
    }
    OwnedRef locals = OwnedRef::checked(PyDict_New());
    return OwnedRef::checked(PyImport_ImportModuleLevelObject(st.names.multiprocessing, st.globals,
                                                              locals.get(), nullptr, 0));
}

// Start-up from the interned names on: each failing step gets the traceback
// entry "init velmorasort.VelmoraSort" at its line.
void populate_module(ModuleState& st, PyObject* module, Steps& step) {
    if (intern_names(st.names) < 0) step.fail();
    if (velmorasort_module_is_main != 0) {
        if (PyObject_SetAttr(module, st.names.dunder_name, st.names.dunder_main) < 0) step.fail();
    }
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* existing = PyDict_GetItemWithError(modules, st.names.module_name);
    if (existing == nullptr && PyErr_Occurred()) step.fail();
    if (existing == nullptr && PyDict_SetItem(modules, st.names.module_name, module) < 0) step.fail();
    // The sorting needs these builtins; start-up refuses builtins without them.
    step([&] { builtin_lookup(st.names.range); });
    step([&] { builtin_lookup(st.names.memory_error); });
    OwnedRef multiprocessing = step([&] { return import_multiprocessing(st); });
    if (PyDict_SetItem(st.globals, st.names.multiprocessing, multiprocessing.get()) < 0) step.fail();
    OwnedRef sort = step([&] {
        return OwnedRef::checked(new_function(st.function_type, &sort_method, st.names.sort,
                                              st.names.module_name, st.globals, &sort_layout, nullptr));
    });
    if (PyDict_SetItem(st.globals, st.names.sort, sort.get()) < 0) step.fail();
    OwnedRef defaults = step([] { return OwnedRef::checked(Py_BuildValue("(i)", -1)); });
    OwnedRef supersort = step([&] {
        return OwnedRef::checked(new_function(st.function_type, &supersort_method, st.names.supersort,
                                              st.names.module_name, st.globals, &supersort_layout,
                                              defaults.get()));
    });
    if (PyDict_SetItem(st.globals, st.names.supersort, supersort.get()) < 0) step.fail();
    OwnedRef test = step([] { return OwnedRef::checked(PyDict_New()); });
    if (PyDict_SetItem(st.globals, st.names.dunder_test, test.get()) < 0) step.fail();
    if (install_test_hooks(st.globals) < 0) step.fail();
}

int module_exec(PyObject* module) {
    ModuleState& st = state();
    // The importing thread's thread-local data of this module, made now
    // rather than at its first sort, which may come when a limit on the
    // address space leaves no room for it (team_limits.hpp).
    (void)engine::thread_start_fits();
    {
        // The claim: from here on no other start-up gets past this check.
        const StateLock lock;
        if (st.module != nullptr) {
            if (st.module == module) return 0;
            PyErr_SetString(PyExc_RuntimeError,
                            "Module 'VelmoraSort' has already been imported. Re-initialisation is not "
                            "supported.");
            return -1;
        }
        st.module = Py_NewRef(module);
    }
    st.globals = Py_NewRef(PyModule_GetDict(module));
    try {
        // Before the interned names exist, failures get no traceback entry.
#if PY_VERSION_HEX >= 0x030D0000
        // PyImport_AddModule's borrowed result is deprecated from 3.13 on.
        PyObject* builtins = check(PyImport_AddModuleRef("builtins"));
        Py_XSETREF(st.builtins, builtins);
#else
        PyObject* builtins = check(PyImport_AddModule("builtins"));
        Py_XSETREF(st.builtins, Py_NewRef(builtins));
#endif
        if (PyObject_SetAttrString(module, "__builtins__", builtins) < 0) throw PythonError{};
        if (check_runtime_version(Py_GetVersion()) < 0) throw PythonError{};
        st.function_type = check(ready_function_type());
        with_traceback_entry(kInitQualname, [&](Steps& step) { populate_module(st, module, step); });
        return 0;
    } catch (const PythonError&) {
    }
    Py_CLEAR(st.globals);
    PyObject* claimed = nullptr;
    {
        const StateLock lock;
        claimed = std::exchange(st.module, nullptr);
    }
    Py_XDECREF(claimed);
    return -1;
}

}  // namespace
}  // namespace velmora

PyMODINIT_FUNC PyInit_VelmoraSort(void) { return PyModuleDef_Init(&velmora::module_def); }

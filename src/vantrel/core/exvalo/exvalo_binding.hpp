// Consumer side of the native interface of vantrel.core.exvalo: binds the two
// exported variables and the five functions from the module's __pyx_capi__.
//
// Self-contained (Python.h and exvalo_api.hpp only). Use it once, at the
// consumer's module execution, with the interpreter held:
//
//     #include "exvalo_binding.hpp"
//
//     vantrel::exvalo_api::Binding exvalo;   // process-wide in the consumer
//     if (vantrel::exvalo_api::bind(exvalo) < 0) return -1;  // error is set
//     ...
//     exvalo.record_date(bar);
//     if (PyErr_Occurred()) ...               // the four void functions
//     PyObject* none = exvalo.end_analysis(positions);  // NULL on failure
//     PyArrayObject* current = *exvalo.entry; // the array bound right now
//
// Binding order: import the module and bind `entry` and `position`; import it
// again and bind the five functions. Every item is looked up by name and taken
// only under its exact signature string. Failures:
//   - no __pyx_capi__ attribute: AttributeError;
//   - an item missing: ImportError "<module> does not export expected C
//     function <name>" (or "C variable" for entry and position);
//   - an item that is not a capsule of the expected name: TypeError "C function
//     <module>.<name> has wrong signature (expected <sig>, got <name found>)"
//     (or "C variable").
// On failure `out` is left as it was.
#pragma once

#include "exvalo_api.hpp"

#include <cstring>

namespace vantrel::exvalo_api {

struct Binding {
    PyArrayObject** entry = nullptr;
    PyArrayObject** position = nullptr;
    StartAnalysisFn start_analysis = nullptr;
    RecordDateFn record_date = nullptr;
    RecordEntryFn record_entry = nullptr;
    RecordExitFn record_exit = nullptr;
    EndAnalysisFn end_analysis = nullptr;
};

namespace binding_detail {

// Name of the capsule as a mismatch reports it; never NULL.
inline const char* capsule_name_for_message(PyObject* item) {
    if (!PyCapsule_CheckExact(item)) return "(not a capsule)";
    const char* name = PyCapsule_GetName(item);
    if (name == nullptr) {
        PyErr_Clear();
        return "NULL";
    }
    return name;
}

// Pointer held by `__pyx_capi__[name]` of `module` under `signature`, or NULL
// with an error set. `kind` is "function" or "variable".
inline void* take_pointer(PyObject* module, const char* kind, const char* name, const char* signature) {
    const char* module_name = PyModule_Check(module) ? PyModule_GetName(module) : nullptr;
    if (module_name == nullptr) {
        PyErr_Clear();
        module_name = kModuleName;
    }
    PyObject* capi = PyObject_GetAttrString(module, kCapiAttribute);
    if (capi == nullptr) return nullptr;
    PyObject* item = PyMapping_GetItemString(capi, name);
    Py_DECREF(capi);
    if (item == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_KeyError)) return nullptr;
        PyErr_Clear();
        PyErr_Format(PyExc_ImportError, "%.200s does not export expected C %s %.200s", module_name, kind,
                     name);
        return nullptr;
    }
    void* pointer = nullptr;
    if (PyCapsule_IsValid(item, signature)) {
        pointer = PyCapsule_GetPointer(item, signature);
    } else {
        PyErr_Format(PyExc_TypeError, "C %s %.200s.%.200s has wrong signature (expected %.500s, got %.500s)",
                     kind, module_name, name, signature, capsule_name_for_message(item));
    }
    Py_DECREF(item);
    return pointer;
}

// Function pointers travel as object pointers in capsules.
template <class Fn>
inline Fn as_function(void* pointer) {
    static_assert(sizeof(Fn) == sizeof(void*));
    Fn fn;
    std::memcpy(&fn, &pointer, sizeof fn);
    return fn;
}

inline int bind_variables(Binding& b) {
    PyObject* module = PyImport_ImportModule(kModuleName);
    if (module == nullptr) return -1;
    void* entry = take_pointer(module, "variable", "entry", kArraySignature);
    void* position = entry ? take_pointer(module, "variable", "position", kArraySignature) : nullptr;
    Py_DECREF(module);
    if (position == nullptr) return -1;
    b.entry = static_cast<PyArrayObject**>(entry);
    b.position = static_cast<PyArrayObject**>(position);
    return 0;
}

inline int bind_functions(Binding& b) {
    PyObject* module = PyImport_ImportModule(kModuleName);
    if (module == nullptr) return -1;
    const struct {
        const char* name;
        const char* signature;
    } items[] = {
        {"start_analysis", kStartAnalysisSignature}, {"record_date", kRecordDateSignature},
        {"record_entry", kRecordEntrySignature},     {"record_exit", kRecordExitSignature},
        {"end_analysis", kEndAnalysisSignature},
    };
    void* pointers[5] = {};
    for (int i = 0; i < 5; ++i) {
        pointers[i] = take_pointer(module, "function", items[i].name, items[i].signature);
        if (pointers[i] == nullptr) {
            Py_DECREF(module);
            return -1;
        }
    }
    Py_DECREF(module);
    b.start_analysis = as_function<StartAnalysisFn>(pointers[0]);
    b.record_date = as_function<RecordDateFn>(pointers[1]);
    b.record_entry = as_function<RecordEntryFn>(pointers[2]);
    b.record_exit = as_function<RecordExitFn>(pointers[3]);
    b.end_analysis = as_function<EndAnalysisFn>(pointers[4]);
    return 0;
}

}  // namespace binding_detail

// Binds all seven items into `out`. Returns 0, or -1 with a Python error set.
inline int bind(Binding& out) {
    Binding b;
    if (binding_detail::bind_variables(b) < 0) return -1;
    if (binding_detail::bind_functions(b) < 0) return -1;
    out = b;
    return 0;
}

}  // namespace vantrel::exvalo_api

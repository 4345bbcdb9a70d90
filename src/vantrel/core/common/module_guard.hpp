// Import rules shared by the modules whose state is process-wide: one
// interpreter per process, one module object per process, and a repeated
// execution on the same module object is a no-op.
#pragma once

#include "pyref.hpp"

namespace vantrel {

class ModuleGuard {
public:
    explicit ModuleGuard(const char* name) : name_(name) {}

    // Create step of multi-phase initialisation: the first call creates the
    // module object, later calls in the same interpreter return it again.
    PyObject* create(PyObject* module_spec) {
        int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
        if (current == -1) return nullptr;
        if (interpreter_id_ == -1) {
            interpreter_id_ = current;
        } else if (interpreter_id_ != current) {
            PyErr_SetString(PyExc_ImportError,
                            "Interpreter change detected - this module can only be loaded into "
                            "one interpreter per process.");
            return nullptr;
        }
        if (module_ != nullptr) return Py_NewRef(module_);
        PyObject* name = PyObject_GetAttrString(module_spec, "name");
        if (name == nullptr) return nullptr;
        module_ = PyModule_NewObject(name);
        Py_DECREF(name);
        // One reference for the guard, one for the import machinery.
        return Py_XNewRef(module_);
    }

    // Returns 1 when the execute step must run its body, 0 when it already
    // ran for this module object, -1 (error set) for a different object.
    int begin_exec(PyObject* module) {
        if (executed_ == nullptr) {
            executed_ = module;
            return 1;
        }
        if (executed_ == module) return 0;
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.", name_);
        return -1;
    }

    // A failed execution leaves no usable module: forget it, so that a
    // retried import starts from a fresh module object.
    void abandon() {
        executed_ = nullptr;
        Py_CLEAR(module_);
    }

private:
    const char* name_;
    int64_t interpreter_id_ = -1;
    PyObject* module_ = nullptr;
    PyObject* executed_ = nullptr;
};

}  // namespace vantrel

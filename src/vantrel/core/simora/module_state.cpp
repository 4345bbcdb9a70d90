#include "module_state.hpp"

namespace vantrel::simora {

ModuleState& state() {
    static ModuleState s;
    return s;
}

Ref global(const char* name) {
    PyObject* key = check(PyUnicode_InternFromString(name));
    Ref key_ref = Ref::steal(key);
    PyObject* value = PyDict_GetItemWithError(state().globals, key);
    if (value == nullptr) {
        check_pending();
        value = PyDict_GetItemWithError(PyEval_GetBuiltins(), key);
        if (value == nullptr) {
            check_pending();
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", key);
            throw PyErrorSet{};
        }
    }
    return Ref::borrow(value);
}

bool setting_is_true(const char* name) { return truthy(global(name).get()); }

}  // namespace vantrel::simora

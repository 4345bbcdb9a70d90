// Reading a module's global names the way its module-level code reads them:
// by name, at call time, falling back to the builtins, NameError otherwise.
// Each name is interned once, so a lookup costs one dict probe.
#pragma once

#include "pyref.hpp"

namespace vantrel {

class GlobalName {
public:
    explicit constexpr GlobalName(const char* text) : text_(text) {}

    // The interned name object (owned for the life of the process).
    PyObject* key() {
        if (key_ == nullptr) key_ = check(PyUnicode_InternFromString(text_));
        return key_;
    }

private:
    const char* text_;
    PyObject* key_ = nullptr;
};

// The value bound to `name` in `globals`, else in `builtins`.
inline Ref lookup_global(PyObject* globals, PyObject* builtins, GlobalName& name) {
    PyObject* key = name.key();
    PyObject* value = PyDict_GetItemWithError(globals, key);
    if (value == nullptr) {
        check_pending();
        value = PyDict_GetItemWithError(builtins, key);
    }
    if (value == nullptr) {
        check_pending();
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", key);
        throw PyErrorSet{};
    }
    return Ref::borrow(value);
}

}  // namespace vantrel

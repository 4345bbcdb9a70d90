#include "argument_binding.hpp"

#include <cstring>

namespace vantrel::binding {

namespace {

[[noreturn]] void raise_count(const char* function, Py_ssize_t n_required, Py_ssize_t n_names,
                              Py_ssize_t given) {
    const bool exact = n_required == n_names;
    const Py_ssize_t expected = given < n_required ? n_required : n_names;
    const char* bound = exact ? "exactly" : (given < n_required ? "at least" : "at most");
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", function,
                 bound, expected, expected == 1 ? "" : "s", given);
    throw PyErrorSet{};
}

}  // namespace

void bind_arguments(const char* function, PyObject* args, PyObject* kwargs, const char* const* names,
                    Py_ssize_t n_names, Py_ssize_t n_required, PyObject** out) {
    const Py_ssize_t n_positional = PyTuple_GET_SIZE(args);
    if (n_positional > n_names) raise_count(function, n_required, n_names, n_positional);
    for (Py_ssize_t i = 0; i < n_names; ++i) out[i] = i < n_positional ? PyTuple_GET_ITEM(args, i) : nullptr;

    if (kwargs != nullptr) {
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        Py_ssize_t pos = 0;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!PyUnicode_Check(key)) {
                PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", function);
                throw PyErrorSet{};
            }
            Py_ssize_t index = -1;
            for (Py_ssize_t i = 0; i < n_names; ++i) {
                if (PyUnicode_CompareWithASCIIString(key, names[i]) == 0) {
                    index = i;
                    break;
                }
            }
            if (index < 0) {
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function, key);
                throw PyErrorSet{};
            }
            if (out[index] != nullptr) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", function,
                             key);
                throw PyErrorSet{};
            }
            out[index] = value;
        }
    }
    for (Py_ssize_t i = 0; i < n_required; ++i) {
        if (out[i] == nullptr) raise_count(function, n_required, n_names, i);
    }
}

void raise_argument_type(const char* name, const char* expected, PyObject* got) {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", name,
                 expected, got == Py_None ? "NoneType" : Py_TYPE(got)->tp_name);
    throw PyErrorSet{};
}

}  // namespace vantrel::binding

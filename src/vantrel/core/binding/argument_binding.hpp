// Binding of positional and keyword arguments for the module's functions,
// with the argument-count and keyword errors compiled Python functions raise.
#pragma once

#include "pyref.hpp"

namespace vantrel::binding {

// Fills out[0 .. n_names) with borrowed references (NULL for an optional
// argument not given). The first n_required names are required.
void bind_arguments(const char* function, PyObject* args, PyObject* kwargs, const char* const* names,
                    Py_ssize_t n_names, Py_ssize_t n_required, PyObject** out);

// "Argument 'name' has incorrect type (expected T, got U)".
[[noreturn]] void raise_argument_type(const char* name, const char* expected, PyObject* got);

}  // namespace vantrel::binding

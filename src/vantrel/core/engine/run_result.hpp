// The array entry's result: a named tuple type (a struct sequence) whose
// fields are the run's arrays, so callers read them by name.
#pragma once

#include "pyref.hpp"

namespace vantrel::engine {

// Creates the type once, when the module is executed; a new reference.
PyObject* make_run_result_type();

// A result of the type made above: takes references to nothing, copies none.
Ref run_result(PyObject* type, PyObject* values, PyObject* trades, PyObject* portfolio, int weight_row,
               int next_weight_row, PyObject* fills, PyObject* costs);

}  // namespace vantrel::engine

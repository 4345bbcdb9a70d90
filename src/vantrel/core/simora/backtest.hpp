// The backtest entry point, as registered in the module namespace.
#pragma once

#include "pyref.hpp"

namespace vantrel::simora {

// backtest_(price_values, close_values, high_values, low_values, open_values,
//           price_index, price_columns, pos_values, pos_index, pos_columns,
//           resample, ...) -> value series
PyObject* backtest(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace vantrel::simora

// Queries over the latest run's results.
#pragma once

#include "pyref.hpp"

namespace vantrel::simora {

// get_trade_stocks(pos_columns, price_index, touched_exit) -> (records, stock_operations)
PyObject* get_trade_stocks(PyObject* self, PyObject* args, PyObject* kwargs);
// get_stock_operations() -> shallow copy of the final-portfolio description
PyObject* get_stock_operations(PyObject* self, PyObject* unused);
// ioft(v) -> naive local datetime of a nanosecond epoch timestamp
PyObject* ioft(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace vantrel::simora

// Turning a stop-loss or take-profit setting into a checked stop table.
#pragma once

#include "pyref.hpp"

namespace vantrel::simora {

// Returns the stop table for `stop`: the object itself when it is a
// StopTable, else stop_table(stop, price_index, pos_columns). Raises
// ValueError when the table does not fit the bars and position columns.
Ref stop_thresholds(PyObject* stop, PyObject* price_index, PyObject* pos_columns);

}  // namespace vantrel::simora

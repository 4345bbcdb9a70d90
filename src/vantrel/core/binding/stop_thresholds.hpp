// Turning a stop-loss or take-profit setting into a checked stop table.
#pragma once

#include "module_globals.hpp"
#include "pyref.hpp"

namespace vantrel::binding {

// Where StopTable and stop_table are looked up by name, at call time.
struct StopTableNames {
    PyObject* globals = nullptr;   // borrowed
    PyObject* builtins = nullptr;  // borrowed
};

// Returns the stop table for `stop`: the object itself when it is a
// StopTable, else stop_table(stop, price_index, pos_columns). Raises
// ValueError when the table does not fit the bars and position columns.
Ref stop_thresholds(PyObject* stop, PyObject* price_index, PyObject* pos_columns,
                    const StopTableNames& names);

}  // namespace vantrel::binding

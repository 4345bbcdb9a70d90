// Setting up a run from converted arguments, in the documented order: the
// column map, the value series, the working state, the delisting flag, the
// column check, the stop tables, the trailing-stop magnitudes and the
// rebalancing calendar. Shared by both faces; the documented module adds its
// settings before and its analysis session after.
#pragma once

#include "backtest_arguments.hpp"
#include "stop_thresholds.hpp"

#include <map>

namespace vantrel::binding {

struct PreparedRun {
    std::map<int, int> column_map;  // as matched by label
    Ref value_series;               // float64, one entry per bar
    Ref sl_table, tp_table;
    Buffer sl_values_buf, sl_rows_buf, tp_values_buf, tp_rows_buf;
    kernel::RunState state;
};

void prepare_run(BacktestArgs& a, PreparedRun& p, const StopTableNames& stops);

// Raises the Python error a kernel error stands for (IndexError,
// ValueError for a bad trading price, the division errors, ...).
[[noreturn]] void raise_kernel_error(const kernel::KernelError& e, const View1<PyObject*>& labels);

}  // namespace vantrel::binding

// The backtest arguments as both faces take them: the 25 documented
// arguments bound, converted and checked in the documented order, the
// caller's arrays held for the call, and the kernel's views over them.
#pragma once

#include "array_view.hpp"
#include "run.hpp"

namespace vantrel::binding {

// Defaults fixed when the calling function was created.
struct ArgumentDefaults {
    PyObject* stop_loss = nullptr;
    PyObject* take_profit = nullptr;
    double trail_stop = 0.0;
};

struct BacktestArgs {
    // Borrowed for the call; the buffers below read them without copies.
    PyObject* price_values_obj = nullptr;
    PyObject* close_values_obj = nullptr;
    PyObject* price_index_obj = nullptr;
    PyObject* price_columns_obj = nullptr;
    PyObject* pos_columns_obj = nullptr;
    Buffer price_buf, close_buf, high_buf, low_buf, open_buf;
    Buffer price_index_buf, price_columns_buf, pos_values_buf, pos_index_buf, pos_columns_buf;
    Buffer resample_buf, delisting_buf;
    View1<PyObject*> price_columns, pos_columns;  // labels, for matching and messages
    kernel::Vector<int64_t> resample;

    PyObject* stop_loss = nullptr;
    PyObject* take_profit = nullptr;
    PyObject* stop_trading_next_period = nullptr;  // truth-tested where used
    bool periodically_rebalance = true;

    kernel::RunInputs in;  // views and converted options
};

// Binds and converts the arguments of `function`: numbers and flags first, in
// argument order, then the array type tests, then the typed views.
void convert_arguments(const char* function, PyObject* args, PyObject* kwargs,
                       const ArgumentDefaults& defaults, BacktestArgs& out);

}  // namespace vantrel::binding

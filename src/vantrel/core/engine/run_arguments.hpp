// The array entry's keyword arguments: read by name, their shapes and dtypes
// checked once before the run (the package has checked their values), and
// the kernel's views over the caller's arrays, which stay borrowed for the
// call and are never copied or written.
#pragma once

#include "array_view.hpp"
#include "run.hpp"

#include <cstdint>
#include <limits>

namespace vantrel::engine {

struct RunArguments {
    // Held for the call, so that the arrays cannot be resized under the run.
    Buffer prices, close, high, low, open, bar_dates, weights, weight_dates, stock_columns, calendar;
    Buffer stop_loss, stop_loss_rows, take_profit, take_profit_rows, delisting_bars;
    // The execution layer's arrays, and the numbers a per-stock or per-bar
    // setting given as one number is read from (through zero strides).
    Buffer lot_size, slippage, volume, cash_rate, borrow_rate;
    Buffer dividend_bars, dividend_columns, dividend_amounts, split_bars, split_columns, split_ratios;
    double lot_size_value = 1.0, slippage_value = 0.0, cash_rate_value = 0.0, borrow_rate_value = 0.0;

    kernel::Vector<int64_t> calendar_dates;
    bool periodically_rebalance = true;
    bool stop_trading_next_period = true;
    kernel::RunInputs in;

    // What a stop not given reads: one threshold for every stock and bar,
    // through zero strides (a stop-loss of the whole entry price, an endless
    // take-profit), so no table is made for it.
    double no_stop_loss = 1.0;
    double no_take_profit = std::numeric_limits<double>::infinity();
    int64_t first_row = 0;
};

// Reads `kwargs` (positional arguments are refused) into `out`; raises
// TypeError for a missing, unknown or mistyped argument and ValueError for
// arrays whose shapes do not fit together, naming them.
void read_run_arguments(PyObject* args, PyObject* kwargs, RunArguments& out);

}  // namespace vantrel::engine

// Everything one run reads: views of the caller's arrays and the options,
// already converted. The kernel never writes through these views.
#pragma once

#include "execution_options.hpp"
#include "strided.hpp"

#include <cstdint>
#include <vector>

namespace vantrel::kernel {

struct RunOptions {
    double fee_ratio = 0.0;
    double tax_ratio = 0.0;
    double trail_stop = 0.0;             // magnitude; infinity for none
    double trail_stop_activation = 0.0;  // magnitude
    double position_limit = 1.0;
    bool touched_exit = false;
    // Decides which trackers a rebalance restarts. The re-basing of trade
    // records is decided by the sink's settings, read as the run goes.
    bool retain_cost_when_rebalance = false;
    int excursion_window = 0;
    int excursion_window_step = 1;
    // Keep the trade log (fills, exit reasons, realized returns, excursions).
    bool keep_trade_log = false;
};

struct RunInputs {
    Matrix<double> price_values;  // trading prices, bars x price columns
    Matrix<double> close_values;
    Matrix<double> high_values, low_values, open_values;  // read in touched mode only
    Vector<int64_t> price_index;                          // bar timestamps (ns)
    Matrix<double> pos_values;                            // target weights, position rows x stocks
    Vector<int64_t> pos_index;                            // position row timestamps (ns)
    bool has_delisting_bars = false;
    Vector<int64_t> delisting_bars;  // per stock, the delisting bar or negative
    // Price column of every stock; a stock without one reads column 0.
    std::vector<int> price_col;
    Matrix<double> sl_values, tp_values;  // stop tables: threshold rows x stocks
    Vector<int64_t> sl_rows, tp_rows;     // per bar, the row in force
    std::vector<uint8_t> rebalance_mask;  // per bar: may a new row be applied
    RunOptions options;
    ExecutionInputs exec;  // off unless the package's entry sets it

    int n_columns() const { return static_cast<int>(price_col.size()); }
};

// The bars a rebalancing calendar allows: each timestamp marks the last bar
// dated at or before it, and the scan never moves backwards.
std::vector<uint8_t> rebalance_mask(const Vector<int64_t>& price_index, const Vector<int64_t>& calendar);

// Whether any stock has a delisting bar.
bool any_delisting(const Vector<int64_t>& delisting_bars);

}  // namespace vantrel::kernel
